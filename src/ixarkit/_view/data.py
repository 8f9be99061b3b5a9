"""What the viewer reads and shows, as plain functions (no Bokeh here).

Band maps are DataBlock.band's integrals (ixarkit._band: trapezoid weights,
summed in file order, one term after the other), read in its pieces: the
page's own script of a static page sums the same terms in the same order, so
that a map computed in the page is bit for bit the map the server sends.
Maps and band integrals are float32 once summed.
"""

import math
from types import SimpleNamespace

import numpy as np

from .. import _band, _families
from .._shared import words as W
from .._shared.reading import Source

# A data set whose values fit in this many bytes is read whole for the first
# picture; larger ones are read in chunks of about CHUNK bytes of values.
SMALL = _families.CHUNK_BYTES
CHUNK = _band.CHUNK
# ... and of at most this many records, so that narrow bands (a read per
# record) still come in pieces of a second or so.
CHUNK_RECORDS = _band.CHUNK_RECORDS
# A static page holds at most this many bytes of values (base64 in the page).
STATIC_LIMIT = 50 << 20
# The heat map of a series shows at most this many spectra (one in k beyond),
# and CHUNK bytes of values at most.
SERIES_ROWS = 2048
MAP_UNIT = W.MAP_UNIT


def described(block):
    """What the command line's unit helpers read off a result, from a block."""
    kind, dim, deriv = (k.upper() for k in block.key)
    return SimpleNamespace(parameters=block.parameters, dataType=kind, dimension=dim, derivative=deriv)


def labels(block):
    """Axis and colour bar labels of a block, with their units."""
    r = described(block)
    x = W._label(*W._x_axis(r))
    y = W._label(*W._y_axis(r))
    out = {"x": x, "y": y, "map_x": f"X ({MAP_UNIT})", "map_y": f"Y ({MAP_UNIT})",
           "integral": W._integral_label(SimpleNamespace(**vars(r), x=np.arange(2.0))), "time": W._label(*W._z_axis(r)),
           "trace": "Trace value (a.u.)", "reversed": r.parameters.get("DXU") == "WN",
           "x_unit": W._x_axis(r)[1] or "", "sample": W._sample(r)}
    return out


def trace_labels(block):
    """A label for every trace: the file's, or "trace k" where it has none."""
    return W._labels(SimpleNamespace(labels=block.labels or []), block.shape[block.dims.index("trace")])


def trace_titles(names):
    """The colour bar title of each trace: its label with its unit (none for a ratio)."""
    return [W._trace_label(name) for name in names]


def parameters(block):
    """(code, title, value as text) of every parameter."""
    return [(k, W.TITLES.get(k, ""), str(v)) for k, v in block.parameters.items()]


# ---------------------------------------------------------------- bands

weights = _band.weights


def band_integral(values, w):
    """The band integral of _band (DataBlock.band's), as float32."""
    return _band.integrate(values, w).astype(np.float32)


def band_indices(x, lo, hi):
    """[first, stop) of the points of x between lo and hi (either order); the
    nearest point when none is."""
    return _band.span(x, lo, hi, nearest=True)


def band_title(block, first, stop):
    x = block.coords[block.dims[-1]]
    unit = labels(block)["x_unit"]
    unit = f" {unit}" if unit else ""
    if stop - first == 1:
        return f"at {x[first]:g}{unit}"
    return f"{x[first]:g}–{x[stop - 1]:g}{unit}"


def band_map_chunks(block, first, stop, budget=None):
    """(start, stop, integrals) pieces of the band map of an image map (rows
    of the map) or a multi-region map (points), as DataBlock.band reads them
    (_band.pieces), each of about ``budget`` bytes (CHUNK) and CHUNK_RECORDS
    records at most; float32."""
    for start, end, values in _band.pieces(block, first, stop, budget=budget or CHUNK, records=CHUNK_RECORDS):
        yield start, end, values.astype(np.float32)


def band_map(block, first, stop, budget=None):
    """The whole band map at once (for small data sets)."""
    pieces = [v for _, _, v in band_map_chunks(block, first, stop, budget)]
    return np.concatenate(pieces) if pieces else np.zeros(block.shape[:-1], np.float32)


# ---------------------------------------------------------------- geometry

def grid(centres, step=None):
    """(first centre, signed step, count) of evenly spaced centres; the step
    of a single one is the parameter's, else 1."""
    c = np.asarray(centres, dtype=np.float64)
    d = (c[-1] - c[0]) / (c.size - 1) if c.size > 1 else float(step or 1.0)
    return (float(c[0]) if c.size else 0.0), (d if d and math.isfinite(d) else 1.0), int(c.size)


def placement(gx, gy):
    """Where an image of these grids goes: the lower left outer edge, width
    and height (each pixel spans its whole step) and which corner holds
    element [0, 0]."""
    (x0, dx, nx), (y0, dy, ny) = gx, gy
    left = min(x0, x0 + dx * (nx - 1)) - abs(dx) / 2
    bottom = min(y0, y0 + dy * (ny - 1)) - abs(dy) / 2
    origin = f"{'bottom' if dy > 0 else 'top'}_{'left' if dx > 0 else 'right'}"
    return dict(x=left, y=bottom, dw=abs(dx) * nx, dh=abs(dy) * ny, origin=origin)


def index_at(g, v):
    """The pixel of grid g that holds coordinate v, or None (the page's script
    does the same: Math.floor((v - first) / step + 0.5))."""
    first, step, n = g
    k = math.floor((v - first) / step + 0.5)
    return k if 0 <= k < n else None


def image_grids(block):
    c, p = block.coords, block.parameters
    return grid(c["x"], p.get("DDX")), grid(c["y"], p.get("DDY"))


def series_grid(block):
    """(label, grid) of the rows of a series' heat map: its times if evenly
    spaced, else spectrum numbers."""
    t = np.asarray(block.coords["time"], dtype=np.float64)
    if t.size > 1 and np.all(np.isfinite(t)):
        d = np.diff(t)
        if np.all(d > 0) or np.all(d < 0):
            step = (t[-1] - t[0]) / (t.size - 1)
            if np.max(np.abs(d - step)) <= 1e-6 * abs(t[-1] - t[0]):
                return labels(block)["time"], grid(t)
    return "Spectrum number", grid(np.arange(t.size, dtype=np.float64))


def regions(block):
    """Multi-region geometry: per point its square's side and its region's
    title, per region (with points) its outline (x0, y0, x1, y1) and title;
    squares tile a grid without overlap."""
    c = block.coords
    x, y = np.asarray(c["mapX"], np.float64), np.asarray(c["mapY"], np.float64)
    counts = [n for _, n, _ in block._info.regions]
    titles = [t for _, _, t in block._info.regions]
    bounds = np.cumsum([0] + counts)
    parts = [SimpleNamespace(mapX=x[a:b], mapY=y[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]
    _, sides, boxes = W._region_layout(parts)
    side = np.repeat(np.asarray(sides, np.float64), counts) if counts else np.zeros(0)
    outlines = [(float(b[0][0]), float(b[0][1]), float(b[1][0]), float(b[1][1])) for b in boxes if b is not None]
    return dict(x=x, y=y, side=side, title=[t for t, n in zip(titles, counts) for _ in range(n)],
                outlines=outlines, titles=[t for t, b in zip(titles, boxes) if b is not None])


# ---------------------------------------------------------------- damage

def damage(path, key, error, shown=None):
    """One line: what is damaged and where, in the command line's words,
    naming the file as ``shown`` (a page to share: its base name)."""
    return str(Source.described(shown or path or "the file", _size(path)).error(error, " ".join(key)))


def _size(path):
    import os
    try:
        return os.path.getsize(path)
    except (OSError, TypeError):
        return "?"
