"""The listing of the data sets of files, and the parameters of one.

The words for each family are its ``listing`` templates (_families.FAMILIES),
filled with the fields below."""

import os
import sys
import time
from types import SimpleNamespace

import numpy as np

import ixarkit
from ixarkit import _families, _units
from ixarkit._request import named

from .._shared.reading import EXIT_DAMAGED, EXIT_OK, CliError, Source
from .._shared.words import TITLES, _labels, _printable, _quoted, _sample, _x_range, _z_axis


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


def describe(r, family=None):
    """The listing's words for one data set: its family's templates (those
    that come out empty left out), after the data type, with the derivative
    and the sample name. ``r`` is what getIxarData gives, or a listed() one."""
    family = family or _families.of_result(r)
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


def listed(block, request, size):
    """What the listing says of a data set, from its layout and its small
    coordinate reads (labels, times), without reading its values: an
    object with what describe() asks of a result, and its family; None
    where a record runs past the end of the file (of ``size`` bytes), whose words the reading
    of every value gives. Raises where the layout or the reads fail."""
    info = block._info
    family = _families.FAMILIES[info.family]
    npt = info.parameters.get("NPT")
    if not isinstance(npt, int) or npt < 0 or _families.first_outside(info.records, npt, size) is not None:
        return None
    r = SimpleNamespace(dataType=request[0], dimension=request[1], derivative=request[2],
                        parameters=info.parameters, x=info.x, mapX=info.mapX, mapY=info.mapY)
    if family.traces:
        r.labels = block.labels
    if "time" in family.coords:
        r.z = block._times()
    if family.main == "regions":
        bounds = np.cumsum([0] + [n for _, n, _ in info.regions])
        r.regions = [SimpleNamespace(title=title, mapX=info.pointX[a:b], mapY=info.pointY[a:b],
                                     spectra=SimpleNamespace(shape=(n,) + tuple(info.shape[1:])))
                     for (_, n, title), a, b in zip(info.regions, bounds[:-1], bounds[1:])]
    else:
        setattr(r, family.main, SimpleNamespace(shape=tuple(info.shape)))
    return r, family


def _open(path):
    """The file through the handle API, or None where that cannot open it."""
    try:
        return ixarkit.open(path)
    except Exception:  # the listing of the literal functions says why
        return None


# --check reads the values of a data set in pieces of at most this many
# bytes, and shows its progress once a data set has taken this many seconds.
CHECK_PIECE = 64 << 20
CHECK_QUIET = 1.5


class _Checking:
    """The progress of --check on standard error, shown once it has taken
    CHECK_QUIET seconds, then at most five times a second."""

    def __init__(self):
        self.start, self.shown, self.last = time.monotonic(), False, None

    def update(self, what, done, total):
        now = time.monotonic()
        if now - self.start < CHECK_QUIET or self.last is not None and now - self.last < 0.2:
            return
        self.shown, self.last = True, now
        print(f"\rchecking {what}: {100 * done // max(total, 1)}%", end="", file=sys.stderr, flush=True)

    def close(self):
        if self.shown:
            print("\r\033[K", end="", file=sys.stderr, flush=True)


def _check(src, block, request, progress):
    """Reads every value of a data set, CHECK_PIECE bytes at a time; the
    CliError of the first read that fails, or None."""
    name = " ".join(request)
    try:
        shape = block.shape
        per = block.nbytes // shape[0] if shape and shape[0] else 0
        step = max(1, CHECK_PIECE // max(per, 1))
        for first in range(0, shape[0] if shape else 0, step):
            block[first:first + step]
            progress.update(f"{src.path}: {name}", min(first + step, shape[0]), shape[0])
    except Exception as e:
        return src.error(e, name)
    return None


def list_files(paths, out, verbose=False, check=False):
    """Lists the data sets of each file on out; one line on standard error
    for each file that cannot be listed or read in full. With ``check``,
    every value of each data set is read as well, and a data set one of
    whose values cannot be read is damaged."""
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
        handle = None if damaged or not contents else _open(path)
        for ds in contents:
            request = named(ds)
            text = None
            if handle is not None:  # from the layout; where it sees damage, the whole read says what
                try:
                    found = listed(handle[request], request, src.size)
                    text = describe(*found) if found else None
                except Exception:
                    text = None
            if text is None:
                try:
                    text = describe(src.read(request))
                except CliError as e:
                    text = "damaged" if e.code == EXIT_DAMAGED else "unreadable"
                    errors.append(e)
            if check and text not in ("damaged", "unreadable"):
                progress = _Checking()
                failed = _check(src, handle[request], request, progress) if handle is not None else CliError(
                    f"{path}: damaged file: cannot be opened to read its values", EXIT_DAMAGED)
                progress.close()
                if failed:
                    text = "damaged" if failed.code == EXIT_DAMAGED else "unreadable"
                    errors.append(failed)
            print(_printable(f"  {' '.join(ds):<13} {text}", out), file=out)
        if handle is not None:
            handle.close()
        if errors:
            # A damaged directory fails every data set it lists: it is the news.
            first, more = errors[0], 0 if damaged else len(errors) - 1
            tail = f"; {more} more data set{'s' if more != 1 else ''} cannot be read either" if more else ""
            print(f"ixarkit: {first}{tail}", file=sys.stderr)
            status = status or first.code
    return status


# The titles of the parameters: ixarkit.paramDict, and those of the codes it
# leaves out that data sets carry (the grid of an image map).
def print_params(r, out):
    width = max((len(k) for k in r.parameters), default=3)
    for key, value in r.parameters.items():
        title = TITLES.get(key, "")
        print(_printable(f"{key:<{width}}  {title:<28}  {value}", out), file=out)


def params_json(r, path, request):
    return {"file": os.path.basename(path), "data set": list(request),
            "parameters": r.parameters,
            "titles": {k: TITLES[k] for k in r.parameters if k in TITLES}}
