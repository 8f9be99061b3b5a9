"""Requests, assertions and fixtures shared by the tests."""

import io
import os
import sys

import numpy as np
import pytest

import ixarkit

AB2, AB3, TRC = ("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")


def get(path, req=AB3):
    return ixarkit.getIxarData(str(path), req)


def main_array(result):
    """A result's main array (a multi-region map's: its regions' one after the other)."""
    if hasattr(result, "regions"):
        return np.concatenate([r.spectra for r in result.regions])
    return next(getattr(result, n) for n in ("y", "spectra", "traces") if hasattr(result, n))


def same(*pairs):
    """Each (got, expected) pair: same dtype, shape and bytes (NaN payloads and signed zeros included)."""
    for a, b in zip(map(np.asarray, pairs[::2]), map(np.asarray, pairs[1::2])):
        assert (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())


def same_result(a, b):
    """The same class and attributes, arrays bit for bit, regions alike."""
    assert type(a) is type(b)
    for name, value in vars(a).items():
        if name == "regions":
            assert len(value) == len(b.regions)
            for ra, rb in zip(value, b.regions):
                same_result(ra, rb)
        elif isinstance(value, np.ndarray):
            same(value, getattr(b, name))
        else:
            assert value == getattr(b, name) or repr(value) == repr(getattr(b, name)), name   # (NaN)


class CountingFile(io.BytesIO):
    """A file object without a descriptor that counts the bytes read from it."""
    read_bytes = 0

    def fileno(self):
        raise io.UnsupportedOperation("fileno")

    def readinto(self, buf):
        n = super().readinto(buf)
        self.read_bytes += n
        return n


def open_descriptors():
    """The process's open descriptors where the system lists them (Linux's
    /proc, macOS's /dev/fd), else None (Windows): compared, not counted."""
    # (under wine, /proc is the emulator's own)
    return next((sorted(os.listdir(d)) for d in ("/proc/self/fd", "/dev/fd") if os.name != "nt" and os.path.isdir(d)), None)


def fails(exc, path, req=AB3):
    """The request raises exc and leaves no file descriptor open; returns the exception."""
    before = open_descriptors()
    e = pytest.raises(exc, ixarkit.getIxarData, str(path), req)
    assert open_descriptors() == before
    return e.value


@pytest.fixture
def reports(monkeypatch, capfd):
    """Let failed-read reports reach stderr; reports() counts them per primitive."""
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)

    def count():
        err = capfd.readouterr().err
        return {f"read{n}": err.count(f"Exception ignored in: 'ixarkit.read{n}'") for n in ("Short", "Int", "Int64", "Float", "Double")}, err
    return count
