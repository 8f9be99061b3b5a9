"""Past fuzzer findings, and a fixed sweep of mutated files, through the
public functions: each ends in a result or a documented exception."""

import contextlib
import glob
import os
import struct

import numpy as np
import pytest

import ixarkit

HERE = os.path.dirname(os.path.abspath(__file__))
CRASHERS = sorted(glob.glob(os.path.join(HERE, "crashers", "*.ixar")))
SAMPLES = sorted(glob.glob(os.path.join(HERE, "..", "examples", "data", "*.ixar")))

DOCUMENTED = (ValueError, KeyError, IndexError, TypeError, OSError, UnicodeDecodeError,
              ZeroDivisionError, OverflowError, MemoryError, struct.error)
REQUESTS = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"),
            ("SSC", "2D", "NONE"), ("AB", "2D", "1DER")]


def read_everything(path):
    try:
        listed = ixarkit.listContents(path)
    except DOCUMENTED:
        listed = []
    for request in dict.fromkeys([(t, d, "NDER" if v == "3DER" else v) for t, d, v in listed] + REQUESTS):
        with contextlib.suppress(DOCUMENTED):
            ixarkit.getIxarData(path, request)
    with contextlib.suppress(DOCUMENTED), ixarkit.open(path) as f:  # and through the handle
        for key in f:
            with contextlib.suppress(DOCUMENTED):
                block = f[key]
                block[(0,) * (block.ndim - 1)], block.coords, block.labels


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)


@pytest.mark.skipif(not CRASHERS, reason="no past findings kept")
@pytest.mark.parametrize("path", CRASHERS, ids=os.path.basename)
def test_past_findings(path):
    read_everything(path)


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_mutated_samples(tmp_path, path, capfd):
    data = bytearray(open(path, "rb").read())
    rng = np.random.default_rng(len(data))
    target = tmp_path / "m.ixar"
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
        target.write_bytes(m)
        read_everything(str(target))
