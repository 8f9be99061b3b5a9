"""Fuzzes the public functions with mutated files.

    python fuzz/make_seeds.py /tmp/seeds
    python fuzz/fuzz_python.py -max_total_time=3600 /tmp/corpus /tmp/seeds

For coverage of the C++ code and its sanitizers, build the extension with
clang and -DIXARKIT_FUZZ=ON and preload clang's AddressSanitizer runtime
(see .ci/run); the module's coverage counters then feed the fuzzer.

Every input is written to a file and read through listContents and
getIxarData (for every listed data set and for a few fixed requests). A
damaged file may raise one of the exceptions the module documents; anything
else, a crash or a hang is a finding.

The same bytes are opened with ixarkit.open, and each data set whose whole
array reads is indexed with random numpy indexes (drawn from a generator
seeded by the input, so that a finding replays): ``block[index]`` must be
``numpy.asarray(block)[index]`` bit for bit, with its type, dtype and shape,
or both must raise IndexError. Any difference raises AssertionError. The
tests check selections with the same indexes (random_index, compare).
"""

import io
import os
import struct
import sys
import tempfile
import zlib

import numpy as np

ixarkit = None  # imported once the fuzzer is set up, so its coverage hooks are the fuzzer's

# What a caller may see for a damaged file.
EXPECTED = (ValueError, KeyError, IndexError, TypeError, OSError, UnicodeDecodeError,
            ZeroDivisionError, OverflowError, MemoryError, struct.error)
REQUESTS = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"),
            ("SSC", "2D", "NONE"), ("AB", "2D", "1DER"), ("AB", "3D", "1DER")]

PATH = None  # the file each input is written to (main makes it)


def quietly(call, *args):
    # Failed reads are reported on standard error; keep the fuzzer's output readable.
    saved = sys.stderr, sys.unraisablehook
    sys.stderr, sys.unraisablehook = io.StringIO(), lambda unraisable: None
    try:
        return call(*args)
    except EXPECTED:
        return None
    finally:
        sys.stderr, sys.unraisablehook = saved


def TestOneInput(data):
    with open(PATH, "wb") as fh:
        fh.write(data)
    quietly(ixarkit.isIxarFile, PATH)
    listed = quietly(ixarkit.listContents, PATH) or []
    for request in list(dict.fromkeys(listed[:8] + REQUESTS)):
        if request[2] == "3DER":
            request = (request[0], request[1], "NDER")
        quietly(ixarkit.getIxarData, PATH, request)
    quietly(selections, data)


def selections(data):
    """The handle API on the same bytes: every data set, a few selections,
    and random indexes checked against numpy's indexing of the whole array."""
    rng = np.random.default_rng(zlib.crc32(data))
    with ixarkit.open(data) as f:
        for key in list(f)[:8]:
            if (shape := quietly(lambda: f[key].shape)) is None:  # noqa: B023 - called at once
                continue
            block = f[key]
            quietly(lambda: (block.coords, block.labels))  # noqa: B023 - called at once
            for index in [(0,), (-1,), (..., slice(1, None, 3)), tuple(slice(None, None, 2) for _ in shape)]:
                quietly(block.__getitem__, index)
            if block.nbytes > MAX_COMPARED or (whole := quietly(np.asarray, block)) is None:
                continue
            for _ in range(INDEXES):
                compare(block, whole, random_index(rng, shape))


# Data sets larger than this are not read whole; indexes tried per data set.
MAX_COMPARED = 8 << 20
INDEXES = 12


def random_item(rng, n):
    """One item of an index for an axis of n, now and then out of bounds."""
    return [lambda: int(rng.integers(-n - 1, n + 1)),
            lambda: slice(*[None if rng.random() < 0.2 else int(v) for v in rng.integers(-n - 2, n + 3, size=2)],
                          int(rng.choice([1, 2, 3, -1, -3]))),
            lambda: [int(v) for v in rng.integers(-n - 1, n + 1, size=rng.integers(0, 4))],
            lambda: rng.integers(-max(n, 1), max(n, 1), size=tuple(rng.integers(0, 3, size=rng.integers(1, 3)))),
            lambda: rng.random(n + (rng.random() < 0.1)) < 0.5,
            lambda: [True, False, np.True_, np.False_][rng.integers(0, 4)],
            lambda: None, lambda: Ellipsis, lambda: slice(None), lambda: slice(None)][rng.integers(0, 10)]()


def random_index(rng, shape):
    parts = [random_item(rng, n) for n in shape]
    if len(shape) > 1 and rng.random() < 0.2:  # a mask over two axes
        parts[:2] = [rng.random(shape[:2]) < 0.5]
    if rng.random() < 0.4:  # often an ellipsis that stands for no axis, between advanced indexes
        parts.insert(int(rng.integers(0, len(parts) + 1)), Ellipsis if rng.random() < 0.5 else random_item(rng, 2))
    parts = parts[:int(rng.integers(0, len(parts) + 1))] if rng.random() < 0.3 else parts
    return parts[0] if len(parts) == 1 and rng.random() < 0.3 else tuple(parts)


def compare(block, whole, index):
    """block[index] is whole[index], or both raise IndexError."""
    try:
        want = whole[index]
    except IndexError:
        want = None
    except Exception:  # what numpy refuses otherwise is not a case
        return
    numpy = "IndexError" if want is None else f"{type(want).__name__} {np.shape(want)}"
    try:
        got = block[index]
    except Exception as e:
        if want is None and isinstance(e, IndexError):
            return
        raise AssertionError(f"{block.key} {block.shape}[{index!r}]: {type(e).__name__} ({e}) where numpy gives "
                             f"{numpy}") from e
    a, b = np.asarray(got), np.asarray(want)
    if want is None or (type(got), a.dtype, a.shape, a.tobytes()) != (type(want), b.dtype, b.shape, b.tobytes()):
        raise AssertionError(f"{block.key} {block.shape}[{index!r}]: {type(got).__name__} {a.dtype} {a.shape} where "
                             f"numpy gives {numpy}{'' if want is None else f' {b.dtype}, or other values'}")


def main():
    global ixarkit, PATH
    # The extension's coverage hooks resolve against the fuzzer's, which must
    # therefore be loaded with its symbols visible to later modules.
    sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)
    import atheris
    fd, PATH = tempfile.mkstemp(suffix=".ixar")
    os.close(fd)
    atheris.Setup(sys.argv, TestOneInput)
    with atheris.instrument_imports():
        import ixarkit as module
    ixarkit = module
    atheris.Fuzz()


if __name__ == "__main__":
    main()
