"""Past fuzzer findings, and a fixed sweep of mutated files, through the
Python fuzzer's own input function (fuzz/fuzz_python.py): the public
functions and the handle's selections against numpy; each ends in a result
or a documented exception."""

import glob
import os
import struct
import sys

import numpy as np
import pytest

import ixarkit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fuzz"))
import fuzz_python  # noqa: E402

CRASHERS = sorted(glob.glob(os.path.join(HERE, "crashers", "*.ixar")))
SAMPLES = sorted(glob.glob(os.path.join(HERE, "..", "examples", "data", "*.ixar")))


@pytest.fixture(autouse=True)
def fuzzer(monkeypatch, tmp_path):
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)
    monkeypatch.setattr(fuzz_python, "ixarkit", ixarkit)
    monkeypatch.setattr(fuzz_python, "PATH", str(tmp_path / "input.ixar"))


@pytest.mark.skipif(not CRASHERS, reason="no past findings kept")
@pytest.mark.parametrize("path", CRASHERS, ids=os.path.basename)
def test_past_findings(path):
    fuzz_python.TestOneInput(open(path, "rb").read())


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_mutated_samples(path):
    data = bytearray(open(path, "rb").read())
    rng = np.random.default_rng(len(data))
    for _ in range(60):
        m = bytearray(data)
        for _ in range(rng.integers(1, 8)):
            at = int(rng.integers(0, len(m)))
            kind = rng.integers(0, 4)
            if kind == 0:
                m[at] = int(rng.integers(0, 256))
            elif kind == 1:  # a count or offset turned large or negative
                m[at:at + 4] = struct.pack("<i", int(rng.choice([-1, 0, 2**31 - 1, -2**31, 152, 7])))
            elif kind == 2:
                del m[at:]
                break
        fuzz_python.TestOneInput(bytes(m))
