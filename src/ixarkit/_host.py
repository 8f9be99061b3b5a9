"""What the interpreter does between the stages of planning a data set,
where the documented order needs it (the extension calls these between its
core calls): the notice of a derivative's mapping, an image's map axes, the order of a
multi-region map's groups, and map coordinates held as text."""

import numpy as np

_MAP_CODES = ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")


def notice(text):
    print(text)


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
