"""The napari reader (napari.yaml, found by npe2): the maps of an IXAR file as layers.

    image                 Image (x values, y, x): the map shown, a slider over the x values
    image-traces          an Image (y, x) per trace, named by its label
    multi-region          Points at the stage positions, coloured by DataBlock.band over all x
    multi-region-traces   Points per trace, named by its label, coloured by its values

Map axes are in µm from the map's origin and steps; the slider runs over the
x values where they are evenly spaced, else over their indexes. Axes are
named in the metadata, and as axis_labels and units where napari takes them
(0.5 on). A file of spectra and series alone, no map, gives None: napari
then tries its other readers.
"""

import inspect
import os

import numpy as np

from . import _core, _handle, _hyperspy, _units
from ._units import MAP_UNIT

# Data sets of more than this many bytes become Dask arrays, read as napari
# shows them; smaller ones are read whole when the file opens.
LAZY_BYTES = 256 << 20
# A lazy cube's chunks: every pixel at a few x values, about this many bytes.
CHUNK_BYTES = 32 << 20
# A lazy layer's contrast limits are the range of about this many of its
# values: every so many pixels of the map, with all of their spectrum.
SAMPLE_VALUES = 1 << 22


def _paths(path):
    return [os.fspath(path)] if isinstance(path, (str, os.PathLike)) else [os.fspath(p) for p in path]


def _ixar(path):
    try:
        return path.lower().endswith(".ixar") and _core.isIxarFile(path)
    except Exception:  # a folder, a file gone, one shorter than the signature: not one to read
        return False


def get_reader(path):
    """The reader of IXAR files; None for other paths, so napari tries other readers."""
    paths = _paths(path)
    return read if paths and all(map(_ixar, paths)) else None


def read(path):
    """napari's layer data tuples of every map of the file(s), or None without a map."""
    layers = []
    for p in _paths(path):
        with _handle.open(p) as f:
            for key in f:
                block = f[key]
                layers += LAYERS.get(block._family.drawing, lambda block: [])(block)
    return layers or None


def _named(labels, units):
    """axis_labels and units where the installed napari's layers take them,
    each unit where pint (napari's units) reads it, else None (pixels)."""
    try:
        import pint
        from napari.layers import Layer
    except ImportError:
        return {}
    if "axis_labels" not in inspect.signature(Layer.__init__).parameters:
        return {}
    known = []
    for unit in units:
        try:
            known.append(unit if pint.get_application_registry().Unit(unit) else None)
        except Exception:  # None, or words pint does not know ("log cm⁻¹")
            known.append(None)
    return {"axis_labels": labels, "units": tuple(known)}


def _kwargs(block, name, labels, units, **more):
    meta = {"data_set": " ".join(block.key), "kind": block.kind, "parameters": block.parameters,
            "axis_labels": labels, "units": units, "x": block.coords.get(block._spectral())}
    return dict(name=name, metadata=meta, **more, **_named(labels, units))


def _axis(values):
    """(translate, scale) of evenly spaced values; (0, 1), their indexes, of others."""
    made = _hyperspy.axis("", values, None)
    return (0.0, 1.0) if made is None or "axis" in made else (made["offset"], made["scale"])


def _placed(block, *before):
    """translate and scale of the axes ``before`` (translate, scale) and the map's rows and columns."""
    axes = list(before) + [_axis(block.coords["y"]), _axis(block.coords["x"])]
    return dict(translate=tuple(t for t, _ in axes), scale=tuple(s for _, s in axes))


def _limits(block, trace=None):
    """The range of every so many pixels of an image map: of their spectra, or of one trace."""
    ny, nx, n = block.shape
    step = max(1, int(np.ceil(np.sqrt(ny * nx * (n if trace is None else 1) / SAMPLE_VALUES))))
    sample = block[::step, ::step, slice(None) if trace is None else trace]
    finite = sample[np.isfinite(sample)]
    lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    return lo, hi if hi > lo else lo + 1


def _trace_name(block, k):
    labels = block.labels or []
    return labels[k] if k < len(labels) and labels[k] else f"{' '.join(block.key)} trace {k}"


def image(block):
    """The cube as (x values, y, x); read lazily in chunks of every pixel at a few x values."""
    spectral, (ny, nx, _), more = block._spectral(), block.shape, {}
    if block.nbytes > LAZY_BYTES:
        columns = max(1, CHUNK_BYTES // max(1, ny * nx * block.dtype.itemsize))
        data = block.to_dask(chunks=(-1, -1, columns)).transpose(2, 0, 1)
        more["contrast_limits"] = _limits(block)
    else:
        data = np.asarray(block).transpose(2, 0, 1)
    unit = _units.x_axis(block.parameters, unknown=(None, None))[1]
    return [(data, _kwargs(block, " ".join(block.key), (spectral, "y", "x"), (unit, MAP_UNIT, MAP_UNIT),
                           **_placed(block, _axis(block.coords[spectral])), **more), "image")]


def image_traces(block):
    """A map (y, x) per trace, named by its label."""
    lazy = block.to_dask() if block.nbytes > LAZY_BYTES else None
    return [(block[:, :, k] if lazy is None else lazy[:, :, k],
             _kwargs(block, _trace_name(block, k), ("y", "x"), (MAP_UNIT, MAP_UNIT), **_placed(block),
                     **({} if lazy is None else {"contrast_limits": _limits(block, k)})), "image")
            for k in range(block.shape[2])]


def _points(block, name, features, colour):
    """Points at the stage positions (y, x) of a multi-region map, coloured
    by features[colour], as large as the usual step between positions."""
    yx = np.column_stack([block.coords["mapY"], block.coords["mapX"]])
    steps = np.concatenate([np.diff(np.unique(c[np.isfinite(c)])) for c in yx.T])
    size = float(np.median(steps[steps > 0])) if (steps > 0).any() else 1.0
    return (yx, _kwargs(block, name, ("y", "x"), (MAP_UNIT, MAP_UNIT), size=size, face_color=colour,
                        face_colormap="viridis", features={**features, "region": block.coords["region"]}),
            "points")


def multi_region(block):
    """The points coloured by the integral of their spectra over the whole x range."""
    x = block.coords[block._spectral()]
    whole = x.size and np.isfinite(x[[0, -1]]).all()
    band = block.band(x[0], x[-1]) if whole else np.zeros(block.shape[0])
    return [_points(block, " ".join(block.key), {"band": band}, "band")]


def multi_region_traces(block):
    """The points once per trace, coloured by its values, named by its label."""
    values = np.asarray(block)
    return [_points(block, _trace_name(block, k), {"value": values[:, k]}, "value") for k in range(block.shape[1])]


# The layers of each way of drawing a map (a family's drawing in _families.FAMILIES); the others have none.
LAYERS = {"image": image, "trace maps": image_traces, "region map": multi_region, "region traces": multi_region_traces}
