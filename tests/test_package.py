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
