"""What the command line calls the axes and parts of a result: quantities
with their units (from _units), labels of traces, sample names. The viewer
labels its plots with these too."""

import re

import numpy as np

from ixarkit import _units
from ixarkit._units import MAP_UNIT  # noqa: F401  (the viewer's map axes)

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
