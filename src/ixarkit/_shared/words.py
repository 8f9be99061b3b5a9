"""What the command line calls the axes and parts of a result: quantities
with their units (from _units), labels of traces, sample names. The viewer
labels its plots with these too."""

import re

import numpy as np

import ixarkit
from ixarkit import _band as _bands
from ixarkit import _units
from ixarkit._units import MAP_UNIT  # noqa: F401  (the viewer's map axes)

from .reading import EXIT_USAGE, CliError

# What trace values are counted in; a trace whose label names a ratio
# ("Carbonyl ratio", "A1730/A1600") is a plain number, without a unit.
TRACE_UNIT = _units.Y_UNITS["TRC"][1]
_RATIO = re.compile(r"\b(ratio|quotient|fraction)\b|\w\s*/\s*\w", re.IGNORECASE)


def _trace_label(label):
    """"Carbonyl area (a.u.)", "Carbonyl ratio": a trace's label with its unit."""
    return _label(label, None if _RATIO.search(label) else TRACE_UNIT)


def _x_axis(r, ascii_only=False):
    """(quantity, unit) of the x axis; unit None when not known."""
    quantity, unit = _units.x_axis(r.parameters)
    return quantity, _units.ascii(unit) if ascii_only else unit


def _y_axis(r, ascii_only=False):
    quantity, unit = _units.y_axis(r.dataType, r.derivative, r.parameters)
    return quantity, _units.ascii(unit) if ascii_only else unit


_label = _units.label


def _z_axis(r):
    """(quantity, unit) of a series' z values, from its ZTX text "Time (s)"."""
    return _units.z_axis(r.parameters)


def _sample(r):
    name = r.parameters.get("SNM")
    return str(name).strip() if name is not None and str(name).strip() else None


def _x_range(r):
    x = np.asarray(r.x)
    if x.size == 0:
        return "no points"
    quantity, unit = _x_axis(r)
    return f"{quantity.lower()} {x[0]:g} to {x[-1]:g}{' ' + unit if unit else ''}"


def _labels(r, count):
    labels = list(getattr(r, "labels", []))
    return [labels[k] if k < len(labels) and labels[k] else f"trace {k + 1}" for k in range(count)]


def _quoted(labels):
    return ", ".join(f'"{s}"' for s in labels)


def _printable(text, stream):
    """text, with the unit signs spelt in ASCII where the stream cannot encode them."""
    encoding = getattr(stream, "encoding", None) or "ascii"
    try:
        text.encode(encoding)
        return text
    except (UnicodeEncodeError, LookupError):
        return _units.ascii_text(text).encode(encoding, "replace").decode(encoding)


def _band(r, band):
    """The indexes of the x values from band[0] to band[1] (x units, either
    order), all of them without a band; CliError (exit 2) when none is in it."""
    x = np.asarray(r.x, dtype=np.float64)
    if band is None:
        return np.arange(x.size)
    found = _bands.span(x, *band)
    inside = np.arange(*found) if found else np.zeros(0, np.int64)
    if not inside.size:
        unit = _x_axis(r)[1]
        raise CliError(f"--band {band[0]:g} {band[1]:g} holds none of the x values "
                       f"({_span(r) or 'no range'}{'' if unit or not x.size else ', no unit'})", EXIT_USAGE)
    return inside


def _integral_label(r, band=None):
    """The colour bar label of a map of the integral over ``band`` (see _band):
    the values themselves where the band holds one x value."""
    yq, yu = _y_axis(r)
    if _band(r, band).size < 2:
        return _label(yq, yu)
    unit = "·".join(u for u in (yu, _x_axis(r)[1]) if u) or None
    return _label(f"Integrated {yq.lower()}", unit)


def _span(r, inside=None):
    """'3100–1000 cm⁻¹': the x range (of the x values ``inside``, if given), in the order the axis shows it."""
    x = np.asarray(r.x, dtype=np.float64)
    x = x if inside is None else x[inside]
    if x.size < 2:
        return ""
    a, b = (x.max(), x.min()) if r.parameters.get("DXU") == "WN" else (x.min(), x.max())
    unit = _x_axis(r)[1]
    return f"{a:g}–{b:g}{' ' + unit if unit else ''}"


def _square_side(xy):
    """Side of the squares drawn at points xy: the smallest distance, along x
    or y, between two points, so that squares on a grid tile it and no two
    squares overlap. Large
    regions (grids, in practice) take the smallest step between distinct
    coordinates instead, which is never larger."""
    if len(xy) < 2:
        return None
    if len(xy) <= 3000:
        best = np.inf
        for start in range(0, len(xy), 500):
            d = np.max(np.abs(xy[start:start + 500, None, :] - xy[None, :, :]), axis=2)
            d[d == 0] = np.inf  # the point itself, and repeats of it
            best = min(best, float(d.min()))
    else:
        steps = [np.diff(np.unique(xy[:, k])) for k in (0, 1)]
        best = min([float(g.min()) for g in steps if g.size] or [np.inf])
    return best if np.isfinite(best) and best > 0 else None


def _region_layout(regions):
    """Points, square sides and outlines (lower left, upper right) of each region."""
    xys = [np.column_stack([np.asarray(g.mapX, float), np.asarray(g.mapY, float)]) for g in regions]
    sides = [_square_side(xy) for xy in xys]
    everything = np.vstack(xys) if xys else np.zeros((0, 2))
    span = float(np.ptp(everything, axis=0).max()) if len(everything) > 1 else 0.0
    fallback = min([s for s in sides if s] or [span / 20 or 1.0])
    sides = [s or fallback for s in sides]
    boxes = [(xy.min(axis=0) - 0.75 * s, xy.max(axis=0) + 0.75 * s) if len(xy) else None
             for xy, s in zip(xys, sides)]
    return xys, sides, boxes


TITLES = {**ixarkit.paramDict,
          "AOX": "Map Origin X", "AOY": "Map Origin Y",
          "DDX": "Map Step X", "DDY": "Map Step Y",
          "NPX": "Number of Map Points in X", "NPY": "Number of Map Points in Y"}
