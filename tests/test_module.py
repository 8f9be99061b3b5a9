"""Import surface of ixarkit (names, functions and their signatures, help, paramDict, pydoc), version, licence,
no import cycle, the result classes, and results that travel: the sample files pickled, the batch example, type
stubs."""

import glob
import inspect
import os
import pickle
import shutil
import subprocess
import sys
import types
from importlib import metadata

import pytest

import ixarkit

ROOT = os.path.join(os.path.dirname(__file__), "..")
CLASSES = ["BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn", "TimeResolvedDataReturn",
           "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region", "MultiRegionTRCDataReturn"]
FUNCTIONS = ["help", "listContents", "isIxarFile", "getIxarData"]
# Own constructor parameters of each subclass, in binding order.
OWN = {"BaseDataReturn": [], "SingleDataReturn": ["y"], "ImageDataReturn": ["mapX", "mapY", "spectra"],
       "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"], "TimeResolvedDataReturn": ["z", "spectra"],
       "TimeResolvedTRCDataReturn": ["labels", "traces"], "MultiRegionDataReturn": ["regions"],
       "MultiRegionTRCDataReturn": ["labels", "regions"]}
BASE_ATTRS = ["dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"]
REGION_ATTRS = ["title", "mapX", "mapY", "start_time", "spectra"]
BASE = dict(dimension="3D", dataType="AB", deriv="NONE", parameters={"NPT": 3}, x=[1.0, 2.0, 3.0], minY=-0.5, maxY=2.5)


def make(name, **kw):
    """Own values by position, base values by keyword (or by position: BaseDataReturn only)."""
    kw, cls = kw or dict(BASE), getattr(ixarkit, name)
    if name == "Region":
        return ixarkit.Region("R", [0.0], [1.0], None, [[1.0]])
    return cls(*kw.values()) if name == "BaseDataReturn" else cls(*[[p] for p in OWN[name]], **kw)


def test_import_surface_and_help(capsys):
    # (submodules imported by now, such as ixarkit.rsciio for HyperSpy, aside)
    names = [n for n, v in vars(ixarkit).items() if not n.startswith("_") and not isinstance(v, types.ModuleType)]
    assert names == CLASSES + FUNCTIONS + [
        "paramDict", "DataBlock", "IxarFile", "open"]  # the documented names, then the handle API
    assert ixarkit.__doc__ is None and "numpy" in sys.modules
    assert all(len(k) == 3 and v for k, v in ixarkit.paramDict.items()) and "NPT" in ixarkit.paramDict
    for fn, parameters in zip(map(vars(ixarkit).get, FUNCTIONS), [[], ["path"], ["path"], ["path", "datablock"]]):
        assert isinstance(fn, types.BuiltinFunctionType) and fn.__module__ == "ixarkit" and fn.__doc__.strip()
        # signatures for editors and notebooks
        assert list(inspect.signature(fn).parameters) == parameters and fn.__doc__.startswith("\n    ") and "--\n\n" not in fn.__doc__
    assert ixarkit.help() is None and (c := capsys.readouterr()).err == "" and all(f"{n}('path'" in c.out for n in FUNCTIONS[1:])
    pytest.raises(TypeError, ixarkit.help, 1)


def test_pydoc_shows_the_handle_api():
    import pydoc
    text = pydoc.render_doc(ixarkit, renderer=pydoc.plaintext)
    firsts = [doc.splitlines()[0].strip() for doc in (ixarkit.open.__doc__, ixarkit.IxarFile.__doc__, ixarkit.DataBlock.__doc__)]
    assert not [n for n in ["class IxarFile(", "class DataBlock(", "\n    open(source)\n", "\n    getIxarData(", "class Region("]
                + firsts if n not in text]


def test_version_and_licence():
    assert ixarkit.__version__ == metadata.version("ixarkit") and metadata.metadata("ixarkit")["License"] == "MIT"
    with open(os.path.join(ROOT, "LICENSE")) as fh:
        assert fh.readline().strip() == "MIT License"
    assert any(str(f).endswith("LICENSE") for f in metadata.files("ixarkit") or [])


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
    import graphlib
    graphlib.TopologicalSorter(graph).prepare()  # CycleError names the modules of a cycle


@pytest.mark.parametrize("name", CLASSES)
def test_result_class(name):
    kw, cls = dict(BASE), getattr(ixarkit, name)
    r, attrs = make(name, **kw), REGION_ATTRS if name == "Region" else OWN[name] + BASE_ATTRS
    assert list(vars(r)) == attrs and cls.__module__ == "ixarkit"
    assert all(f"\n        {a} (" in cls.__doc__ for a in attrs)   # each attribute documented
    assert cls.__bases__ == ((ixarkit.BaseDataReturn,) if OWN.get(name) else (object,))
    copy = pickle.loads(pickle.dumps(r))
    assert type(copy) is cls and vars(copy) == vars(r) and list(vars(copy)) == attrs
    methods = [k for k, v in vars(cls).items() if callable(v)]
    if name == "Region":
        r.title = "renamed"
        assert repr(r) == str(r) == "renamed" and methods == ["__init__", "__repr__"] and not hasattr(r, "description")
        return
    assert methods == (["__init__", "__str__", "__repr__"] if name == "BaseDataReturn" else ["__init__"])
    assert vars(r) == vars(cls(**{p: [p] for p in OWN[name]}, **kw))     # the same by keyword
    # kept as given, not copied; the description: the base text and a line per own attribute
    assert all(getattr(r, k) is v for k, v in zip(BASE_ATTRS, kw.values())) and all(getattr(r, k) == [k] for k in OWN[name])
    base, text = make("BaseDataReturn").description, r.description
    assert text == str(r) == repr(r) and text.startswith(base) and "(.x)" in base
    assert all(f"(.{a})" in text[len(base):] for a in OWN[name])
    r.x, r.note, r.parameters["NPT"] = [9.0], "added", 1    # fixed at construction
    assert str(r) == text
    r.description = "something else"
    assert str(r) == repr(r) == "something else" and r.note == "added"


@pytest.mark.parametrize("name, args, kwds", [  # one positional argument only; the constructors' own parameters
    (fn, args, kw) for fn in ("isIxarFile", "listContents") for args, kw in [((), {}), (("a", "b"), {}), ((), {"path": "a"}),
                                                                           (("a",), {"path": "a"})]] + [
    ("SingleDataReturn", (), {k: v for k, v in BASE.items() if k != "maxY"}), ("SingleDataReturn", (), dict(BASE, y=[], z=[])),
    ("SingleDataReturn", (), dict(BASE, y=[], derivative="NONE")), ("SingleDataReturn", ([],) + tuple(BASE.values()), {}),
    ("TimeResolvedDataReturn", ([], []), dict(BASE, z=[])), ("MultiRegionDataReturn", (), BASE),
    ("BaseDataReturn", (), dict(BASE, y=[])), ("BaseDataReturn", tuple(BASE.values()) + (0,), {}), ("Region", ("t", [], [], None), {})])
def test_bad_arguments_raise_type_error(name, args, kwds):
    pytest.raises(TypeError, getattr(ixarkit, name), *args, **kwds)


SAMPLES = sorted(glob.glob(os.path.join(ROOT, "examples", "data", "*.ixar")))


def test_samples_cover_every_family_and_pickle():
    results = [ixarkit.getIxarData(p, d) for p in SAMPLES for d in ixarkit.listContents(p)]
    assert {type(r).__name__ for r in results} == set(CLASSES) - {"BaseDataReturn", "Region"}
    assert all(r.parameters.get("DXU") for r in results if "TRC" not in type(r).__name__)  # x units, as files have
    for r in results:   # the copy pickles to the same bytes: class, attributes, arrays and regions
        back = pickle.loads(data := pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL))
        assert pickle.dumps(back, protocol=pickle.HIGHEST_PROTOCOL) == data and str(back) == str(r)


def test_paths_outside_ascii(tmp_path, capsys):
    # Names as the instrument software's users give them, through every way a path comes in.
    from ixarkit._cli import main
    (path := tmp_path / "Probe ë µm 測定" / "карта.ixar").parent.mkdir()
    shutil.copyfile(sample := os.path.join(ROOT, "examples", "data", "image.ixar"), path)
    want = ixarkit.getIxarData(sample, ("AB", "3D", "NONE")).spectra
    assert ixarkit.isIxarFile(str(path)) and ixarkit.listContents(str(path)) == [("AB", "3D", "NONE")]
    assert ixarkit.getIxarData(str(path), ("AB", "3D", "NONE")).spectra.tobytes() == want.tobytes()
    for p in (str(path), path):
        with ixarkit.open(p) as f:
            assert f["AB", "3D", "NONE"][2:4].tobytes() == want[2:4].tobytes()
    assert main([str(path)]) == 0 and "карта.ixar" in capsys.readouterr().out


@pytest.mark.parametrize("use_dask", [False, True])
def test_batch_example(monkeypatch, use_dask):
    if use_dask:
        pytest.importorskip("dask.bag")
    monkeypatch.syspath_prepend(os.path.join(ROOT, "examples"))
    import batch
    results = batch.main([os.path.join(ROOT, "examples", "data")] + (["--dask"] if use_dask else []))
    assert [name for name, _ in results] == [os.path.basename(p) for p in SAMPLES] and all(
        nbytes > 0 for _, sets in results for _, _, nbytes in sets)


TYPED = """from typing import Any
import numpy as np
import ixarkit
def mean(path: str) -> "np.ndarray[Any, np.dtype[np.float64]]":
    r = ixarkit.getIxarData(path, ("AB", "3D", "NONE"))
    if isinstance(r, ixarkit.ImageDataReturn):
        return np.asarray(r.spectra.mean(axis=(0, 1)), dtype=np.float64)
    if isinstance(r, ixarkit.MultiRegionDataReturn):
        return np.asarray(np.vstack([g.spectra for g in r.regions]).mean(axis=0), dtype=np.float64)
    raise TypeError(type(r).__name__)
names: list[tuple[str, str, str]] = ixarkit.listContents("f.ixar")
ok: bool = ixarkit.isIxarFile("f.ixar")
title: str = ixarkit.paramDict["NPT"]
"""


@pytest.mark.parametrize("source,rc,where", [
    (TYPED, 0, ""), ("import ixarkit\nn: int = ixarkit.isIxarFile('f')\nixarkit.listContents(path='f')\n", 1, "typed.py:3")])
def test_type_stubs_satisfy_mypy(tmp_path, source, rc, where):
    pytest.importorskip("mypy")
    (src := tmp_path / "typed.py").write_text(source)
    version = f"{sys.version_info[0]}.{max(sys.version_info[1], 9)}"
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--python-version", version, str(src)]
                          + ["--strict"] * (rc == 0), capture_output=True, text=True, timeout=300)
    assert proc.returncode == rc and where in proc.stdout, proc.stdout + proc.stderr
