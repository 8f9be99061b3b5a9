"""Requests and assertions shared by the extraction tests."""

import os

import numpy as np
import pytest

import ixarkit

AB2, AB3, TRC = ("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")


def get(path, req=AB3):
    return ixarkit.getIxarData(str(path), req)


def same(a, b):
    """Same dtype, shape and bytes (NaN payloads and signed zeros included)."""
    a, b = np.asarray(a), np.asarray(b)
    assert (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())


def fails(exc, path, req=AB3):
    """The request raises exc and leaves no file descriptor open; returns the exception."""
    before = sorted(os.listdir("/proc/self/fd"))
    with pytest.raises(exc) as e:
        ixarkit.getIxarData(str(path), req)
    assert sorted(os.listdir("/proc/self/fd")) == before
    return e.value


def cut(path, n):
    """The file at path, n bytes shorter."""
    os.truncate(path, os.path.getsize(path) - n)
    return path
