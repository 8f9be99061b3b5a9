"""DataBlock.band: each spectrum of a data set integrated (or averaged) over
a band of its x values, read a band of columns at a time.

The integral is the trapezoid rule written as weights (``weights``) and
summed in file order, one term after the other, in float64 (``integrate``):
the command line's maps, the viewer's maps and the viewer's static pages
(whose script sums the same terms in the same order) all give these values,
bit for bit. A band of one x value integrates to that value.

``pieces`` is the one loop that reads a band: pieces of records, each one
band read (``block[start:end, ..., first:stop]``, which the core plans as
reads of those columns only) of about CHUNK bytes of values. band() gathers
them; the viewer shows them as they come, with its progress and cancellation.
"""

import numbers

import numpy as np

from . import _families, _units
from ._optional import need

# A band is read in pieces of about this many bytes of values (at least a
# record, or a row of records of an image map) ...
CHUNK = 32 << 20
# ... and of at most this many records, so that narrow bands (a read per
# record) still come in pieces of a second or so.
CHUNK_RECORDS = 1 << 16
# Lazy bands: chunks of about this many bytes of values per Dask task.
LAZY_CHUNK = _families.CHUNK_BYTES

HOW = ("integral", "mean")


def weights(x):
    """Trapezoid weights of the points x: sum(values * weights(x)) is the
    integral over x, counted positive whichever way x runs; one point: 1."""
    x = np.asarray(x, dtype=np.float64)
    if x.size < 2:
        return np.ones(x.size)
    w = np.empty(x.size)
    w[0], w[-1] = abs(x[1] - x[0]) / 2, abs(x[-1] - x[-2]) / 2
    w[1:-1] = np.abs(x[2:] - x[:-2]) / 2
    return w


def integrate(values, w):
    """sum(values[..., k] * w[k]) in float64, term after term in order of k.
    One pass per point of the band over every spectrum: no array of terms."""
    values = np.asarray(values)
    if values.shape[-1] == 0:
        return np.zeros(values.shape[:-1])
    total = np.multiply(values[..., 0], w[0], dtype=np.float64)
    term = np.empty_like(total)
    for k in range(1, values.shape[-1]):
        total += np.multiply(values[..., k], w[k], out=term, dtype=np.float64)
    return total


def reduce(values, w, how):
    """The band values of the spectra values[..., band]: their integral with
    the weights w, or their mean (w then is all ones)."""
    total = integrate(values, w)
    return total / w.size if how == "mean" else total


def terms(x, how):
    """The weights reduce() takes for the x values of a band."""
    return weights(x) if how == "integral" else np.ones(len(x))


def check(block):
    """TypeError unless the block holds spectra along its last axis."""
    family = block._family
    if family.dims[-1] != _units.SPECTRAL or family.traces:
        raise TypeError(
            f"{' '.join(block.key)} is {block.kind} data ({family.plural}, dims {', '.join(block.dims)}): "
            "a band integrates spectra over x, and each trace already is the value of a band; "
            "index the trace you want instead")


def _extent(block, x):
    unit = _units.x_axis(block._info.parameters, unknown=(None, None))[1]
    unit = f" {unit}" if unit else ""
    return f"{x[0]:g} to {x[-1]:g}{unit}", unit


def span(x, lo, hi, nearest=False):
    """[first, stop) of the values of x from lo to hi (either order, both
    ends included): the one rule of a band's x range, for DataBlock.band,
    the command line and the viewer. None when no value is there, or with
    ``nearest`` the point nearest the middle of the band (a band dragged
    between two points of a spectrum)."""
    x = np.asarray(x, dtype=np.float64)
    a, b = sorted((float(lo), float(hi)))
    inside = np.flatnonzero((x >= a) & (x <= b))
    if inside.size:
        return int(inside[0]), int(inside[-1]) + 1
    if nearest and x.size:
        k = int(np.argmin(np.abs(x - (a + b) / 2)))
        return k, k + 1
    return None


def indices(block, lo, hi):
    """[first, stop) of the x values of block from lo to hi (x units, either
    order, both ends included); ValueError when none is there."""
    x = np.asarray(block._info.x, dtype=np.float64)
    if not all(isinstance(v, numbers.Real) for v in (lo, hi)):
        raise TypeError(f"the ends of a band are numbers in x units, not {lo!r} and {hi!r}")
    if np.isnan(float(lo)) or np.isnan(float(hi)):
        raise ValueError(f"the ends of a band are numbers in x units, not {lo!r} and {hi!r}")
    found = span(x, lo, hi)
    if found is None:
        extent, unit = _extent(block, x) if x.size else ("", "")
        where = f"whose x values run from {extent}" if x.size else "which has no x values"
        raise ValueError(f"the band {lo:g} to {hi:g}{unit} holds no x value of {' '.join(block.key)}, {where}")
    return found


def rows(block, first, stop, budget=None, records=None):
    """How many entries of the first axis one piece of the band holds."""
    inner = int(np.prod(block.shape[1:-1], dtype=np.int64))  # records per entry: a row of an image, else 1
    per_row = block.dtype.itemsize * max(stop - first, 1) * max(inner, 1)
    return max(1, min((budget or CHUNK) // per_row, (records or CHUNK_RECORDS) // max(inner, 1)))


def pieces(block, first, stop, how="integral", budget=None, records=None):
    """(start, end, values) of the band values of entries start to end of the
    first axis (rows of an image map, spectra of a series, points of a
    multi-region map), float64, each from one band read of about ``budget``
    bytes (CHUNK) and ``records`` records (CHUNK_RECORDS) at most."""
    w = terms(block._info.x[first:stop], how)
    n, step = block.shape[0], rows(block, first, stop, budget, records)
    buffer = None  # the pieces of one size are read into one buffer
    for start in range(0, n, step):
        end = min(n, start + step)
        shape = (end - start, *block.shape[1:-1], stop - first)
        if buffer is None or buffer.shape != shape:
            buffer = np.empty(shape, block.dtype)
        yield start, end, reduce(block.read_direct(buffer, (slice(start, end), Ellipsis, slice(first, stop))), w, how)


def band(block, lo, hi, how="integral", lazy=False):
    """DataBlock.band (see there)."""
    check(block)
    if how not in HOW:
        raise ValueError(f"how is 'integral' or 'mean', not {how!r}")
    first, stop = indices(block, lo, hi)
    if lazy:
        return _lazy(block, first, stop, how)
    if block.ndim == 1:
        return reduce(block[first:stop], terms(block._info.x[first:stop], how), how)[()]
    out = np.empty(block.shape[:-1])
    for start, end, values in pieces(block, first, stop, how):
        out[start:end] = values
    return out


class Columns:
    """The columns [first, stop) of a data set as an array-like of its own, for
    dask.array.from_array: picklable, reads through _dask.BlockReader."""

    def __init__(self, reader, first, stop):
        self.reader, self.first, self.stop = reader, first, stop
        self.shape = reader.shape[:-1] + (stop - first,)
        self.dtype, self.ndim = reader.dtype, reader.ndim

    def __getitem__(self, index):
        *outer, last = index if isinstance(index, tuple) else (index,)
        r = range(self.first, self.stop)[last]
        return self.reader[(*outer, slice(r.start, r.stop, r.step))]


def _lazy(block, first, stop, how):
    da = need("dask.array", "dask", "DataBlock.band(lazy=True)")
    from dask.base import tokenize

    from . import _dask
    description = block._file._reopen("a lazy band")
    columns = Columns(_dask.BlockReader(description, block.key, block.shape), first, stop)
    step = rows(block, first, stop, LAZY_CHUNK, np.iinfo(np.int64).max) if block.ndim > 1 else None
    chunks = (step,) + columns.shape[1:] if step else columns.shape
    name = "ixarkit-band-" + tokenize(description.key(), block.key, first, stop, chunks)
    values = da.from_array(columns, chunks=chunks, name=name, lock=False, asarray=True, fancy=False,
                           meta=np.empty((0,) * block.ndim, dtype=block.dtype))
    w = terms(block._info.x[first:stop], how)
    return values.map_blocks(reduce, w, how, drop_axis=block.ndim - 1, dtype=np.float64, token="ixarkit-band",
                             meta=np.empty((0,) * (block.ndim - 1)))
