"""The reader's exceptions. What the core reports, a kind of failure with
its numbers, becomes here the exception a caller sees, tagged with the kind
of failure (its ``failure`` attribute) that the command line tells failures
apart by; the failures of documented steps whose wording belongs to numpy or
the interpreter are raised by running the step again. The errors of the
handle API: a damaged data set names the file and itself; the reader's other
verdicts on a file it cannot read come back as exceptions of their own type
whose messages name the source."""

import contextvars
import operator
import os
import struct

import numpy as np


class DamagedDataError(ValueError):
    """A data set that its file, damaged, cannot give: the message names the
    data set (``key``), the file (``source``: its path, or the name or type of
    the file object) and then what is damaged (``reason``); the reader's own
    ValueError is the ``__cause__``, whose ``failure`` it keeps."""

    def __init__(self, key, error, source=None):
        self.key, self.reason, self.source = tuple(key), str(error), source
        self.failure = getattr(error, "failure", "damaged")
        super().__init__(f"{' '.join(self.key)}{' in ' + source if source else ''}: {self.reason}")


def _naming(e, source, key=None):
    """The reader's exception e, of a file it cannot read, as an exception of
    the same type whose message names the source and the data set (``key``,
    None while the file is opened), with e's ``failure`` and e as its
    ``__cause__``; None for exceptions that are not the reader's verdict on a
    file (no ``failure``: a missing file, memory) or that cannot be remade."""
    failure = getattr(e, "failure", None)
    if failure is None:
        return None
    claims = getattr(e, "claims", None)  # a size no memory holds (see _no_memory)
    if claims is not None and key is not None:
        if failure == "damaged":
            return DamagedDataError(key, claims, source)
        named = MemoryError(f"{' '.join(key)} in {source}: {claims}")
        named.failure, named.key, named.source = failure, key, source
        return named
    if type(e) is ValueError and key is not None:
        return DamagedDataError(key, e, source)
    where = f"{' '.join(key)} in {source}" if key else source
    try:
        if isinstance(e, UnicodeDecodeError):
            named = UnicodeDecodeError(e.encoding, e.object, e.start, e.end, f"{e.reason} ({where})")
        elif isinstance(e, OSError):
            named = type(e)(e.errno, f"{e.strerror} ({where})")
        elif isinstance(e, KeyError):
            named = KeyError(f"{where}: no {e.args[0]!r} where the file needs one" if e.args else where)
        else:
            named = type(e)(f"{where}: {e}")
    except Exception:  # a type that takes other arguments: left as it is
        return None
    named.failure, named.key, named.source = failure, key, source
    return named


def _describe(source):
    """How messages name a source: its path, or the name or type of a file object."""
    if isinstance(source, str) or hasattr(source, "__fspath__"):
        return repr(source)
    name = getattr(source, "name", None)
    if isinstance(name, (str, bytes)) and name:
        return f"<{type(source).__name__} {name!r}>"
    return f"<{type(source).__name__}>"


def raise_step(kind, n, values, message):
    """Raises what the documented step that failed on a file's content
    raises, worded by numpy or the interpreter, by running that step again on
    the numbers the reader gives: ``kind`` names the step (see the reader's
    error kinds), ``n`` holds its numbers and ``values`` the file's values it
    failed on; ``message`` words the one failure numpy does not."""
    if kind == "row-beyond-grid":        # spectra[row] of a cube of n[2] rows
        np.empty(n[2])[n[0]]
    elif kind == "no-grid-columns":      # index % NPX, NPX = 0
        n[0] % 0
    elif kind == "trace-not-map":        # a trace of n[0] values reshaped to (NPY, NPX)
        np.empty(n[0], np.float32).reshape((n[2], n[3]))
        raise ValueError(message)
    elif kind == "no-records":           # stacking nothing (trace maps: depth-wise)
        (np.dstack if n[0] else np.vstack)([])
    elif kind == "row-missing":          # an annotation row past the end
        [][n[0]]
    elif kind == "unknown-spectrum":     # a Fileindex that names no spectrum
        raise KeyError(values[0])
    elif kind == "trace-column":         # traces[:, Fileindex - 1] of (n[0], n[1]) traces
        np.empty((n[0], n[1]), np.float32)[:, values[0] - 1]
    elif kind == "group-not-index":
        operator.index(values[0])
    elif kind == "region-size":          # a region's arrays for a grid of AryNX x AryNY points
        nx, ny = values
        if isinstance(nx, str) or isinstance(ny, str):
            # A text times a whole number repeats the text: only whether it
            # comes out empty matters to what follows.
            nx, ny = (1 if type(v) is int and v > 1 else v for v in (nx, ny))
        count = nx * ny
        np.empty(count), np.empty(count)
        np.empty((count, n[0]), np.float32)
        operator.index(count)
    elif kind == "text-coordinate":      # a map coordinate held as text, stored into a float array
        np.zeros(1)[0] = values[0]
    elif kind == "no-memory":            # a region of n[0] points of n[1] values (AryNX x AryNY), larger than memory
        raise _no_memory(*n, *values)
    raise SystemError(f"a failure the reader met passes again: {kind}: {message}")


# Who counts the reports of failed reads in this context (the command line):
# a callable, called once per failed read, that says whether to show it.
READ_REPORTS = contextvars.ContextVar("ixarkit_read_reports")


def _no_memory(points, width, itemsize, rows, nx, ny):
    """numpy's MemoryError for the region's array that cannot be allocated
    (a map axis of the points, else their values), as the allocation would
    raise it, with what our API says of it as ``claims``: a region that
    claims more points than the file's rows (the file cannot hold them), or
    the bytes it needs."""
    shape, dtype = ((points,), np.dtype(np.float64)) if itemsize == 8 else ((points, width), np.dtype(np.float32))
    try:
        from numpy._core._exceptions import _ArrayMemoryError
    except ImportError:  # numpy 1.x
        from numpy.core._exceptions import _ArrayMemoryError
    e = _ArrayMemoryError(shape, dtype)
    if points > rows:
        e.claims = (f"a region of AryNX x AryNY = {nx} x {ny} claims {points} points, and the file's annotation "
                    f"table holds {rows} rows for them")
    else:
        e.claims = (f"the {points} points of a region of AryNX x AryNY = {nx} x {ny} need "
                    f"{_bytes(int(np.prod(shape, dtype=np.int64)) * dtype.itemsize)} for an array of shape {shape} "
                    f"and data type {dtype}")
    e.failure = "damaged" if points > rows else "no-memory"
    return e


def _bytes(n):
    return f"{n / 2**30:.1f} GiB ({n} bytes)" if n >= 2**30 else f"{n} bytes"


def fail(kind, *args):
    """Raises the exception of a failure the reader met, ``kind`` naming it
    (a kind of the core's errors, or one of the reader's own below) with its
    numbers; every one is tagged with its kind of failure, but MemoryError
    (which may be a shared instance) and a caller's IndexError."""
    try:
        _raise(kind, *args)
    except Exception as e:  # not what interrupts the run (KeyboardInterrupt): that is no verdict on the file
        if not isinstance(e, MemoryError) and kind != "index":
            try:
                e.failure = "not-ixar" if kind == "not-ixar" else "damaged"
            except Exception:
                pass
        raise


def _raise(kind, *args):
    if kind == "not-ixar":               # (ours,): our API's wording, or the literal functions'
        raise ValueError("not an IXAR file (its first bytes are not the signature)" if args[0]
                         else "Can't process a non-Ixar file")
    if kind == "cut-directory":          # (offset, file size)
        raise ValueError(f"damaged directory: a read at offset {args[0]} ends at the end of the file "
                         f"({args[1]} bytes), so the directory is cut short")
    if kind == "past-end":               # (width, offset, file size, bytes there)
        raise ValueError(f"damaged file: a value of {args[0]} bytes at offset {args[1]} is cut by the end of "
                         f"the file (byte {args[2]}); {args[3]} of its bytes are there")
    code, message, data, n, values = args  # a core error
    if kind == "os":
        raise OSError(code, os.strerror(code))
    if kind == "damaged":
        raise ValueError(message)
    if kind == "missing":
        raise KeyError(message)
    if kind == "not-integer":
        raise TypeError(message)
    if kind == "index":
        raise IndexError(message)
    if kind in ("decode-utf8", "decode-ascii"):  # the interpreter's codec words it
        data.decode("utf-8" if kind == "decode-utf8" else "ascii")
        raise SystemError(f"text the reader rejected decodes: {message}")
    if kind == "short-signature":        # the signature read as struct does, from the bytes there
        struct.unpack(">i", bytes(code))
    raise_step(kind, n, values, message)
