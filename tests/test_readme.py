"""The README's examples run as shown: every ```python block that uses the
samples runs, in order, in a folder that holds them, and each expression
whose comment shows a literal value (a number, a string, a tuple, a list, a
repr in <...>) gives that value; every console session ($ ...) on the
samples prints what it shows."""

import ast
import io
import os
import re
import shutil
import subprocess
import sys
import tokenize

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as _fh:
    README = _fh.read()
BLOCKS = [(README[:m.start()].count("\n") + 2, m.group(1), m.group(2))
          for m in re.finditer(r"^```(\w*)\n(.*?)^```", README, re.S | re.M)]
PYTHON = [(line, code) for line, lang, code in BLOCKS if lang == "python" and "examples/data" in code]
CONSOLE = [(line, code) for line, lang, code in BLOCKS if code.startswith("$ ") and "examples/data" in code]
LITERAL = re.compile(r"""[-\d([{'"<]|True|False|None""")


def shown(value, parts):
    """How the README writes a value: strings as repr, numpy's scalars as
    numpy 2 shows them (np.float64(4000.0), on numpy 1 too), the rest as
    str; the items of a tuple written out (a, b) separated by blanks or commas."""
    import numpy as np
    text = (lambda v: repr(v) if isinstance(v, str) else f"np.{type(v).__name__}({v})" if isinstance(v, np.generic)
            else str(v))
    return [" ".join(map(text, value)), ", ".join(map(text, value))] if parts else [text(value)]


def split_comment(line):
    """(code, comment) of one line of Python."""
    try:
        tokens = list(tokenize.generate_tokens(io.StringIO(line.strip() + "\n").readline))
    except (tokenize.TokenError, SyntaxError):
        return line, ""
    comment = next((t for t in tokens if t.type == tokenize.COMMENT), None)
    if comment is None:
        return line, ""
    indent = line[:len(line) - len(line.lstrip())]
    return indent + line.strip()[:comment.start[1]].rstrip(), comment.string[1:].strip()


def checked(code):
    """The block with each `expression  # literal` (or a literal comment on
    the line after the expression) turned into a check of its value."""
    lines, out = code.splitlines(), []
    for k, line in enumerate(lines):
        source, comment = split_comment(line)
        if not comment and k + 1 < len(lines) and lines[k + 1].lstrip().startswith("# "):
            comment = lines[k + 1].strip()[2:]
        try:
            node = ast.parse(source.strip()).body
        except SyntaxError:
            node = None
        if node and len(node) == 1 and isinstance(node[0], ast.Expr) and comment and LITERAL.match(comment):
            indent = source[:len(source) - len(source.lstrip())]
            parts = isinstance(node[0].value, ast.Tuple)
            line = f"{indent}_check(({source.strip()}), {comment!r}, {parts}, {k + 1})"
        out.append(line)
    return "\n".join(out)


EXTRAS = {".to_hyperspy(": "hyperspy", ".to_dask(": "dask", ".to_xarray(": "xarray", ".view(": "bokeh",
          "lazy=True": "dask"}


@pytest.fixture
def samples(tmp_path, monkeypatch):
    os.makedirs(tmp_path / "examples")
    shutil.copytree(os.path.join(ROOT, "examples", "data"), tmp_path / "examples" / "data")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("line, code", PYTHON, ids=[f"line {line}" for line, _ in PYTHON])
def test_python_blocks_run_and_give_what_they_show(samples, line, code):
    # the modules it imports, and the extras of the calls that need one
    for module in re.findall(r"^\s*(?:import|from) (\w+)", code, re.M) + [m for c, m in EXTRAS.items() if c in code]:
        pytest.importorskip(module)
    def _check(value, comment, parts, at):
        ok = any(comment == s or comment.startswith(s) and not comment[len(s)].isalnum() for s in shown(value, parts))
        assert ok, f"README line {line + at - 1}: shows {comment!r}, gives {shown(value, parts)[-1]!r}"

    import ixarkit   # the tour's first block imports it for the blocks after it
    exec(compile(checked(code), f"README.md, block at line {line}", "exec"), {"_check": _check, "ixarkit": ixarkit})


def test_every_sample_block_is_run_and_the_others_compile():
    assert len(PYTHON) >= 8 and sum(len(re.findall(r"  # [-\d([{'<]", c)) for _, c in PYTHON) >= 15
    for line, lang, code in BLOCKS:
        if lang == "python":
            ast.parse(code)   # a block the suite does not run still parses
            assert "Client(" not in code or 'if __name__ == "__main__":' in code, f"line {line}: needs the guard"


@pytest.mark.parametrize("line, session", CONSOLE, ids=[f"line {line}" for line, _ in CONSOLE])
def test_console_sessions_print_what_they_show(samples, line, session):
    if os.name == "nt":
        pytest.skip("the README's sessions are of a POSIX shell")
    (shim := samples / "bin").mkdir()
    (shim / "ixarkit").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m ixarkit "$@"\n')
    (shim / "ixarkit").chmod(0o755)
    # the system's own tools too, where the suite runs with a PATH of its environment alone
    env = dict(os.environ, PATH=os.pathsep.join([str(shim), os.environ.get("PATH", ""), os.defpath]),
               PYTHONUNBUFFERED="1", PYTHONPATH=os.pathsep.join(sys.path))
    for command, shown_lines in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", session, re.M):
        proc = subprocess.run(["/bin/sh", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              env=env, timeout=120)
        assert proc.stdout == shown_lines, f"README line {line}: $ {command}"


def tables():
    """Rows of the README's tables with a target column, as dicts by header."""
    for table in re.findall(r"(?:^\|.*\|\n)+", README, re.M):
        rows = [[c.strip() for c in line.strip("|").split("|")] for line in table.splitlines()]
        if "target" in rows[0]:
            yield from (dict(zip(rows[0], row)) for row in rows[2:])


def number(text):
    found = re.match(r"[\d,.]+", text or "")
    return float(found.group().replace(",", "")) if found and found.group().strip(",.") else None


def test_figures_tables_mark_every_missed_target():
    """A ratio over its target ("≤ 1.25×") or short of it ("≥ 200× faster") is marked **MISS**, and only then."""
    checked_rows, wrong = 0, []
    for row in tables():
        target, ms = row["target"], number(row.get("median ms", row.get("ms")))
        against = number(row.get("limit ms", row.get("against ms")))
        ratio = number(row.get("ratio")) if "ratio" in row else ms / against if ms and against else None
        if (bound := re.match(r"([≤≥]) ([\d.]+)×", target)) is None or ratio is None or "one run of" in target:
            continue
        checked_rows += 1
        missed = ratio > float(bound.group(2)) if bound.group(1) == "≤" else 1 / ratio < float(bound.group(2))
        if missed != ("**MISS**" in target):
            wrong.append(row)
    assert checked_rows >= 12 and not wrong, wrong


def test_the_small_benchmark_marks_full_size_targets_not_applicable(monkeypatch):
    import runpy
    monkeypatch.syspath_prepend(os.path.join(ROOT, "bench"))
    verdict = runpy.run_path(os.path.join(ROOT, "bench", "run.py"))["verdict"]
    assert verdict("≤ 1.25×", False, "full") == "≤ 1.25× **MISS**" and verdict("≤ 1.25×", True, "full") == "≤ 1.25×"
    assert verdict("≤ 1.25×", False, "small") == verdict("≤ 1.25×", True, "small") == "n/a (≤ 1.25× at full size)"
    assert verdict("reads one record", False, "small", timed=False) == "reads one record **MISS**"
