"""DataBlock.to_hyperspy: a data set as a HyperSpy signal.

What each family becomes is its row's ``hyperspy`` in _families.FAMILIES:
its dims in the signal's array order, navigation first, then one signal dim
(Signal1D) or two (Signal2D):

    single                  Signal1D  (| wavenumber)
    image                   Signal1D  (x, y | wavenumber)
    image-traces            Signal2D  (trace | x, y): one map per trace
    time-resolved           Signal1D  (time | wavenumber)
    time-resolved-traces    Signal1D  (trace | wavenumber): one line per trace
    multi-region            Signal1D  (point | wavenumber)
    multi-region-traces     Signal1D  (point | trace): the traces of each point

(HyperSpy lists axes with the fastest first, hence (x, y)). An axis is
uniform (offset, scale) when its values are those of a linspace, else
non-uniform (its values), or an index when they are not ordered (or not
finite), their values then in the metadata. Names and
units are those of _units (cm⁻¹, µm; HyperSpy converts them with pint).
The coordinates that are no axis (trace labels; the map position, region,
region title and start time of each point) are in ``metadata.ixarkit``
beside the data set's name and family; the parameters are the
``original_metadata``.
"""

import os

import numpy as np

from . import _families, _units, _xarray
from ._optional import need
from ._units import SPECTRAL

# Values within this fraction of a step from offset + scale * index make a uniform axis.
UNIFORM = 1e-6


def axis(name, values, units):
    """The axis dictionary HyperSpy takes for values along one dim, or None
    where they make no axis (not ordered, not finite)."""
    values = np.asarray(values, dtype=np.float64)
    out, n = {"name": name, "units": units}, len(values)
    if not np.isfinite(values).all():
        return None
    if n < 2:
        return {**out, "offset": float(values[0]) if n else 0.0, "scale": 1.0, "size": n}
    offset, scale = float(values[0]), float((values[-1] - values[0]) / (n - 1))
    if scale and np.abs(values - (offset + scale * np.arange(n))).max() <= UNIFORM * abs(scale):
        return {**out, "offset": offset, "scale": scale, "size": n}
    steps = np.diff(values)
    return {**out, "axis": values} if (steps > 0).all() or (steps < 0).all() else None


def _plain(value):
    """A value as HyperSpy's metadata keeps it: text, numbers, lists."""
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if isinstance(value, np.ndarray):
        return value.tolist() if value.dtype == object else value
    if isinstance(value, np.generic):
        return value.item()
    return value


def _metadata(block, coords, parameters):
    quantity, unit = _units.y_axis(block.key[0].upper(), block.key[2].upper(), parameters)
    own = {"data_set": " ".join(block.key), "kind": block.kind}
    for name in block._family.coords:  # the coordinates that are no axis of the signal
        coordinate = _families.COORDINATES[name]
        if coordinate.dim == name:
            continue
        values = coords[name] if coordinate.handle else _xarray.VALUES[name](block, coords)
        if values is not None:
            own["labels" if name == "label" else name] = _plain(values)
    general = {"title": quantity}
    source = block._file.name
    if isinstance(source, (str, os.PathLike)):
        general["original_filename"] = os.path.basename(os.fspath(source))
    metadata = {"General": general, "Signal": {"quantity": _units.label(quantity, unit)}, "ixarkit": own}
    sample = str(parameters.get("SNM", "") or "").strip()
    if sample:
        metadata["Sample"] = {"description": sample}
    return metadata


def signal_dict(block, lazy=False):
    """What a signal of the data set is made of, as HyperSpy's readers give
    it: data (a dask array where lazy), axes, metadata, original_metadata."""
    family, spectral, dims = block._family, block._spectral(), block.dims
    parameters, coords = block.parameters, block.coords
    signal = [spectral if d == SPECTRAL else d for d in family.hyperspy.signal]
    order = [spectral if d == SPECTRAL else d for d in family.hyperspy.navigation] + signal
    axes, metadata = [], _metadata(block, coords, parameters)
    for d in order:
        coordinate = _families.COORDINATES[SPECTRAL if d == spectral else d]
        made = axis(d, coords[d], _xarray._names(coordinate, parameters)[1])
        if made is None:  # an index, the values beside it
            made = {"name": d, "offset": 0.0, "scale": 1.0, "size": len(coords[d])}
            metadata["ixarkit"][d] = coords[d]
        axes.append({**made, "navigate": d not in signal})
    data = block.to_dask() if lazy else np.asarray(block)
    permutation = [dims.index(d) for d in order]
    if permutation != sorted(permutation):
        data = data.transpose(permutation)
    return dict(data=data, axes=axes, metadata=metadata,
                original_metadata={k: _plain(v) for k, v in parameters.items()})


def to_hyperspy(block, lazy=False):
    hs = need("hyperspy.api", "hyperspy", "DataBlock.to_hyperspy")
    made = signal_dict(block, lazy)
    signal = sum(1 for a in made["axes"] if not a["navigate"])
    return getattr(hs.signals, f"{'Lazy' if lazy else ''}Signal{signal}D")(**made)
