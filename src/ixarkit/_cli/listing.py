"""The listing of the data sets of files, and the parameters of one.

The words for each family are its ``listing`` templates (_families.FAMILIES),
filled with the fields below."""

import os
import sys

import numpy as np

import ixarkit
from ixarkit import _families, _keys, _units

from .reading import EXIT_DAMAGED, EXIT_OK, CliError, Source
from .words import _labels, _printable, _quoted, _sample, _x_range, _z_axis


def _z_range(r):
    """"time 0 to 9.75 s": the range of a series' z values; empty without any."""
    z = np.asarray(r.z)
    if not z.size:
        return ""
    quantity, unit = _z_axis(r)
    return f"{quantity.lower()} {z.min():g} to {z.max():g}{' ' + unit if unit else ''}"


def trace_count(r, family):
    """How many traces a result of a family with traces holds."""
    axis = family.dims.index("trace")
    if family.main == "regions":  # the rows of every region, of which there may be none
        return r.regions[0].spectra.shape[axis] if r.regions else len(r.labels)
    return getattr(r, family.main).shape[axis]


def _traces(r, family):
    n = trace_count(r, family)
    return f"{n} trace{'s' if n != 1 else ''}: {_quoted(_labels(r, n))}"


# The fields of the listing's templates: f(result, family).
FIELDS = {
    "npt": lambda r, family: len(r.x),
    "x_range": lambda r, family: _x_range(r),
    "grid": lambda r, family: f"{len(r.mapX)} x {len(r.mapY)}",
    "records": lambda r, family: len(np.asarray(r.z)),
    "z_range": lambda r, family: _z_range(r),
    "traces": _traces,
    "points": lambda r, family: sum(len(g.mapX) for g in r.regions),
    "regions": lambda r, family: len(r.regions),
    "titles": lambda r, family: _quoted(g.title for g in r.regions),
}


class _Fields(dict):
    """The fields a template names, computed when it names them."""

    def __init__(self, r, family):
        super().__init__()
        self.r, self.family = r, family

    def __missing__(self, name):
        return FIELDS[name](self.r, self.family)


def describe(r):
    """The listing's words for one data set: its family's templates (those
    that come out empty left out), after the data type, with the derivative
    and the sample name."""
    family = _families.of_result(r)
    if family is None:
        parts = [type(r).__name__]
    else:
        fields = _Fields(r, family)
        parts = [text for text in (template.format_map(fields) for template in family.listing) if text]
    if r.dataType != "TRC":
        parts[0] = f"{_units.Y_UNITS.get(r.dataType, (r.dataType,))[0].lower()} {parts[0]}"
    if r.derivative in _units.DERIVATIVES:
        parts[0] += f" ({_units.DERIVATIVES[r.derivative][0]})"
    sample = _sample(r)
    parts.append(f'sample "{sample}"' if sample else "no sample name")
    return ", ".join(parts)


def list_files(paths, out, verbose=False):
    """Lists the data sets of each file on out; one line on standard error
    for each file that cannot be listed or read in full."""
    status = EXIT_OK
    for path in paths:
        try:
            src = Source(path, verbose)
            contents, damaged = src.listing()
        except CliError as e:
            print(f"ixarkit: {e}", file=sys.stderr)
            status = status or e.code
            continue
        if contents or not damaged:
            print(f"{path}: {len(contents)} data set{'s' if len(contents) != 1 else ''}", file=out)
        errors = [damaged] if damaged else []
        for ds in contents:
            request = _keys.request(ds)
            try:
                text = describe(src.read(request))
            except CliError as e:
                text = "damaged" if e.code == EXIT_DAMAGED else "unreadable"
                errors.append(e)
            print(_printable(f"  {' '.join(ds):<13} {text}", out), file=out)
        if errors:
            # A damaged directory fails every data set it lists: it is the news.
            first, more = errors[0], 0 if damaged else len(errors) - 1
            tail = f"; {more} more data set{'s' if more != 1 else ''} cannot be read either" if more else ""
            print(f"ixarkit: {first}{tail}", file=sys.stderr)
            status = status or first.code
    return status


# The titles of the parameters: ixarkit.paramDict, and those of the codes it
# leaves out that data sets carry (the grid of an image map).
TITLES = {**ixarkit.paramDict,
          "AOX": "Map Origin X", "AOY": "Map Origin Y",
          "DDX": "Map Step X", "DDY": "Map Step Y",
          "NPX": "Number of Map Points in X", "NPY": "Number of Map Points in Y"}


def print_params(r, out):
    width = max((len(k) for k in r.parameters), default=3)
    for key, value in r.parameters.items():
        title = TITLES.get(key, "")
        print(_printable(f"{key:<{width}}  {title:<28}  {value}", out), file=out)


def params_json(r, path, request):
    return {"file": os.path.basename(path), "data set": list(request),
            "parameters": r.parameters,
            "titles": {k: TITLES[k] for k in r.parameters if k in TITLES}}
