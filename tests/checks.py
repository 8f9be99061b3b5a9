"""Assertions shared by the extraction tests."""

import os

import numpy as np
import pytest

import ixarkit


def same(a, b):
    """Same dtype, shape and bytes (NaN payloads and signed zeros included)."""
    a, b = np.asarray(a), np.asarray(b)
    assert (a.dtype, a.shape) == (b.dtype, b.shape)
    assert a.tobytes() == b.tobytes()


def fails(exc, path, req):
    """The request raises exc and leaves no file descriptor open; returns the exception."""
    before = sorted(os.listdir("/proc/self/fd"))
    with pytest.raises(exc) as e:
        ixarkit.getIxarData(str(path), req)
    assert sorted(os.listdir("/proc/self/fd")) == before
    return e.value
