"""numpy indexes of a DataBlock as the core's selections: per axis, the
indexes to read; numpy applies the rest (order, new axes, masks) to the
dense block read."""

import operator

import numpy as np

_INVALID = ("only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or boolean "
            "arrays are valid indices")


def selections(index, shape):
    """Per-axis integer selections that an index needs (the dense block they
    span is what gets read), an index of the same form into that block and
    whether its advanced indexes select nothing at all. In that index
    integers, slices, None and ellipsis stay as they are, integer arrays and
    boolean masks become positions within the selections. numpy applies that
    index to the block, so its rules (the order of broadcast dimensions,
    scalar booleans, masks over several axes, errors) hold as for the whole
    array."""
    if not isinstance(index, tuple):
        index = (index,)
    items = [_index_item(i) for i in index]
    if sum(kind == "..." for kind, _ in items) > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    used = sum(_axes(kind, value) for kind, value in items)
    if used > len(shape):
        raise IndexError(f"too many indices for array: array is {len(shape)}-dimensional, but {used} were indexed")
    # numpy broadcasts the advanced indexes first; when they select nothing, it checks no bounds of theirs
    shapes = [(int(v),) if k == "bool" else (int(np.count_nonzero(v)),) if k == "mask" else v.shape
              for k, v in items if k in ("bool", "mask", "array")]
    try:
        nothing = bool(shapes) and 0 in np.broadcast_shapes(*shapes)
    except ValueError:
        raise IndexError("shape mismatch: indexing arrays could not be broadcast together with shapes "
                         + " ".join(map(str, shapes))) from None
    selections, compact, axis = [], [], 0
    for kind, value in items:
        if kind == "...":
            for _ in range(len(shape) - used):
                selections.append(np.arange(shape[axis], dtype=np.int64))
                compact.append(slice(None))
                axis += 1
            compact.append(Ellipsis)  # keeps numpy's rule for advanced indexes that an ellipsis separates
            continue
        if kind in ("new", "bool"):  # None, and True or False: no axis of the array
            compact.append(value)
            continue
        n = shape[axis]
        if kind == "slice":
            selections.append(np.arange(n, dtype=np.int64)[value])
            compact.append(slice(None))
        elif kind == "int":
            i = operator.index(value)
            if not -n <= i < n:
                raise IndexError(f"index {i} is out of bounds for axis {axis} with size {n}")
            selections.append(np.array([i % n], dtype=np.int64))
            compact.append(np.zeros((), np.intp) if isinstance(value, np.ndarray) else 0)
        elif kind == "mask":
            k = value.ndim
            # numpy lets a mask's axis of length 0 stand for an axis of any length
            bad = next((j for j in range(k) if value.shape[j] not in (0, shape[axis + j])), None)
            if bad is not None:
                raise IndexError(f"boolean index did not match indexed array along axis {axis + bad}; size of "
                                 f"axis is {shape[axis + bad]} but size of corresponding boolean axis is "
                                 f"{value.shape[bad]}")
            for positions in np.nonzero(value):
                needed, at = _needed(positions.astype(np.int64))
                selections.append(needed)
                compact.append(at)
            axis += k
            continue
        else:  # an integer array
            flat = value.astype(np.int64).ravel()
            if flat.size and not nothing and (flat.min() < -n or flat.max() >= n):
                bad = int(flat[(flat < -n) | (flat >= n)][0])
                raise IndexError(f"index {bad} is out of bounds for axis {axis} with size {n}")
            needed, at = _needed(flat % n if n else flat)
            selections.append(needed)
            compact.append(at.reshape(value.shape))
        axis += 1
    for _ in range(len(shape) - axis):  # axes the index leaves out, when it has no ellipsis
        selections.append(np.arange(shape[axis], dtype=np.int64))
        axis += 1
    return selections, tuple(compact), nothing


def _index_item(item):
    """(kind, value) of one item of an index, as numpy tells them apart."""
    if item is None:
        return "new", None
    if item is Ellipsis:
        return "...", None
    if isinstance(item, slice):
        return "slice", item
    if isinstance(item, (bool, np.bool_)):
        return "bool", bool(item)
    if not isinstance(item, np.ndarray):
        try:
            operator.index(item)
            return "int", item
        except TypeError:
            pass
    given = isinstance(item, np.ndarray)
    try:
        arr = np.asarray(item)
    except Exception:
        raise IndexError(_INVALID) from None
    if arr.dtype == bool:
        return ("bool", bool(arr)) if arr.ndim == 0 else ("mask", arr)
    if not given and arr.size == 0 and arr.dtype.kind == "f":  # [] and [[]]: numpy takes them as integers
        arr = arr.astype(np.intp)
    if arr.dtype.kind not in "iu":
        raise IndexError(_INVALID)
    if arr.ndim == 0:
        return "int", arr
    return "array", arr


def _axes(kind, value):
    """How many axes of the array an index item takes."""
    return value.ndim if kind == "mask" else int(kind in ("slice", "int", "array"))


def _needed(positions):
    """(the distinct positions in order, where each given one lies among them)."""
    needed = np.unique(positions)
    return needed, np.searchsorted(needed, positions).astype(np.intp)
