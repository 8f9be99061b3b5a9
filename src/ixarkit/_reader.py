"""The reader as Python drives it: a file opened as a Source of the
extension's, one data set planned there in stages, then read; and the
bodies of getIxarData, listContents and isIxarFile on top (the extension's
built-in functions call these).

A data set is planned in the stages the documented order asks for: its
prologue, whose parameters become a dict and whose x axis numpy builds
(their failures come before anything the data block holds); the notice of
a derivative's mapping; then what the interpreter answers before the plan:
an image's map axes, or the order of a multi-region map's groups (as a
Python set iterates them) and its map coordinates held as text (as numpy
converts them); then the plan. The core never calls back into Python while
it plans (a file object's reads aside)."""

import io

import numpy as np

from . import _core, _errors, _families, _request

_MAP_CODES = ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")


class Planned:
    """A data set planned once: the core's Layout, and what a result takes
    of the interpreter's side (the request's words, the parameters, the x
    and map axes)."""

    __slots__ = ("layout", "words", "parameters", "x", "mapX", "mapY")

    def read(self, reference=False):
        """The result getIxarData gives (``reference``: by the reference
        executor), holding copies of the planned objects, which later reads
        use again."""
        family, arrays, labels, regions = self.layout.read(reference)
        objects = [None if o is None else o.copy() for o in (self.parameters, self.x, self.mapX, self.mapY)]
        return _families.build(family, self.words, *objects, arrays, labels, regions)

    def info(self):
        """The family table's Layout of the data set."""
        family, shape, regions, points, records = self.layout.info()
        return _families.layout(family, shape, self.parameters, self.x, self.mapX, self.mapY, regions, points,
                                records)


def plan(source, checked, quiet=True):
    """The Planned data set of a Source that a request names, as
    _request.check gives it; ``quiet``: no notice printed."""
    t, d, v, is3D, data, sample, derivative = checked
    staged = source.prologue(data, sample, derivative, is3D)
    if staged is None:
        raise _request.missing(t, d, v)
    p = Planned()
    p.layout, p.parameters, notice = staged
    p.words, p.mapX, p.mapY = (t, d, v), None, None
    p.x = _core.x_axis(p.parameters["FXV"], p.parameters["LXV"], p.parameters["NPT"])
    if notice is not None and not quiet:
        print(notice)
    asked = p.layout.ask()
    if asked is True:  # nothing to ask: planned
        return p
    if asked is not None and asked[0] == "regions":
        p.layout.plan(group_order(asked[1]), coordinates(asked[2]))
    else:
        if asked is not None:
            p.mapX, p.mapY = map_axes(p.parameters, *asked[1:])
        p.layout.plan()
    return p


def map_axes(params, values, replaced):
    """The map axes of an image from its values (AOX, AOY, DDX, DDY, NPX,
    NPY), which replace those of ``params`` where ``replaced``: each a
    linspace from the origin by the step, with the arithmetic of whatever
    values the parameters hold (numpy takes both sizes as lengths, or fails)."""
    if replaced:
        params.update(zip(_MAP_CODES, values))
    aox, aoy, ddx, ddy, npx, npy = values
    return np.linspace(aox, aox + ddx * (npx - 1), npx), np.linspace(aoy, aoy + ddy * (npy - 1), npy)


def group_order(pairs):
    """The first row of each group of a multi-region map, in the order a set
    of its Group column iterates in. ``pairs`` are (value, row) of each cell,
    row by row, or of each distinct value with its first row, in the order
    they first appear: a set of either iterates alike."""
    first = {}
    for value, row in pairs:
        first.setdefault(value, row)
    return [first[g] for g in set(value for value, _ in pairs)]


def coordinates(texts):
    """Map coordinates held as text, each as numpy stores it into a float
    array; None where that raises ValueError."""
    cell = np.zeros(1)
    out = []
    for text in texts:
        try:
            cell[0] = text
        except ValueError:
            out.append(None)
        else:
            out.append(float(cell[0]))
    return out


# ---------------------------------------------------------------- the public functions' bodies

def _path_argument(path):
    """A path as isIxarFile and listContents take it: anything open() takes
    but an integer, which open() would take as a descriptor and the call
    then close behind its owner's back."""
    if not isinstance(path, float) and hasattr(type(path), "__index__"):
        raise TypeError("expected str, bytes or os.PathLike object, not " + _core.type_name(path)[:200])
    return path


def is_ixar_file(path):
    with io.FileIO(_path_argument(path), "rb") as raw:
        head = raw.read(4)  # a regular file's read is short only at its end
    if len(head) < 4:
        _errors.fail("short-signature", len(head), "", b"", (0, 0, 0, 0), (None, None))
    return head == _core.SIGNATURE


def list_contents(path):
    with io.FileIO(_path_argument(path), "rb") as raw:
        source = _core.Source(raw.fileno(), quiet=False)
        listed = source.contents()
        source.close()
    return listed


def _arguments(args, kwargs):
    """(path, datablock), each by position or keyword, with the messages of
    the argument binding of a built-in function of two required positional
    arguments."""
    def count(given):
        return TypeError(f"getIxarData() takes exactly 2 positional arguments ({given} given)")

    if len(args) > 2:
        raise count(len(args))
    values = list(args) + [kwargs.get(name) for name in ("path", "datablock")[len(args):]]
    for i in range(len(args), 2):  # required arguments missing from the keywords first
        if ("path", "datablock")[i] not in kwargs:
            raise count(i)
    for name in kwargs:
        if name not in ("path", "datablock"):
            raise TypeError(f"getIxarData() got an unexpected keyword argument '{name}'")
        if ("path", "datablock").index(name) < len(args):
            raise TypeError(f"getIxarData() got multiple values for keyword argument '{name}'")
    return values


def get_ixar_data(*args, **kwargs):
    path, datablock = args if len(args) == 2 and not kwargs else _arguments(args, kwargs)
    if path is not None and type(path) is not str:
        raise TypeError(f"Argument 'path' has incorrect type (expected str, got {_core.type_name(path)[:200]})")
    request = _request.check(datablock)  # before the file is touched
    with io.FileIO(path, "rb") as raw:  # one descriptor: the signature, the directory and the data
        source = _core.Source(raw.fileno(), -1, False)
        try:
            p = plan(source, request, False)
            family, arrays, labels, regions = p.layout.read()
            return _families.build(family, p.words, p.parameters, p.x, p.mapX, p.mapY, arrays, labels, regions)
        finally:
            source.close()
