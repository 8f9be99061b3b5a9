"""What the installed package says about itself: version, licence, signatures."""

import inspect
import os
from importlib import metadata

import pytest

import ixarkit

ROOT = os.path.join(os.path.dirname(__file__), "..")


def test_version_and_licence():
    assert ixarkit.__version__ == metadata.version("ixarkit")
    assert metadata.metadata("ixarkit")["License"] == "MIT"
    with open(os.path.join(ROOT, "LICENSE")) as fh:
        assert fh.readline().strip() == "MIT License"
    files = [str(f) for f in metadata.files("ixarkit") or []]
    assert any(f.endswith("LICENSE") for f in files)


@pytest.mark.parametrize("name, parameters", [
    ("help", []), ("isIxarFile", ["path"]), ("listContents", ["path"]),
    ("getIxarData", ["path", "datablock"])])
def test_signatures_for_editors_and_notebooks(name, parameters):
    function = getattr(ixarkit, name)
    assert list(inspect.signature(function).parameters) == parameters
    assert function.__doc__.startswith("\n    ") and "--\n\n" not in function.__doc__


def _imports(path, module):
    """(module, name) of every import a module runs when it is imported
    (not those inside functions)."""
    import ast
    package = module if path.endswith("__init__.py") else module.rpartition(".")[0]
    found = set()

    def visit(nodes):
        for node in nodes:
            if isinstance(node, ast.Import):
                found.update((a.name, None) for a in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    parts = package.split(".")
                    base = ".".join(parts[:len(parts) - node.level + 1] + ([base] if base else []))
                found.update((base, a.name) for a in node.names)
            elif not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
                visit(ast.iter_child_nodes(node))

    with open(path, encoding="utf-8") as fh:
        visit(ast.parse(fh.read()).body)
    return found


def test_no_import_cycle():
    root = os.path.dirname(ixarkit.__file__)
    modules, compiled = {}, set()
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith((".so", ".pyd")):
                compiled.add("ixarkit." + name.split(".")[0])
            elif name.endswith(".py"):
                rel = os.path.relpath(os.path.join(folder, name), root)[:-3].replace(os.sep, ".")
                module = "ixarkit" + ("" if rel == "__init__" else "." + rel.replace(".__init__", ""))
                modules[module] = os.path.join(folder, name)
    graph = {}
    for m, p in modules.items():  # `from a import b` imports module a.b if there is one, else a
        targets = {f"{a}.{b}" if f"{a}.{b}" in modules or f"{a}.{b}" in compiled else a for a, b in _imports(p, m)}
        graph[m] = sorted(t for t in targets if t in modules and t != m)
    assert "ixarkit._cli" in graph and "ixarkit._handle" in graph
    done, path = set(), []

    def walk(m):
        assert m not in path, " -> ".join(path[path.index(m):] + [m])
        if m not in done:
            path.append(m)
            for n in graph[m]:
                walk(n)
            path.pop()
            done.add(m)

    for m in graph:
        walk(m)
