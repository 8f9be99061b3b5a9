"""DataBlock.to_xarray and what the xarray backend shares with it: names,
coordinates with units, attributes.

The dims and coordinates of each family are those of _families.FAMILIES:

    single                  (wavenumber,)
    image                   (y, x, wavenumber)
    image-traces            (y, x, trace)
    time-resolved           (time, wavenumber)
    time-resolved-traces    (trace, wavenumber)
    multi-region            (point, wavenumber)
    multi-region-traces     (point, trace)

the spectral axis named after the x units (wavenumber (WN), wavelength (MI,
NM), log_wavenumber (LGW), sample (PNT), spectral_time (MIN, SEC in a
time-resolved series), time (MIN, SEC otherwise), spectral when the file does
not say). Coordinates: the spectral axis, map x and y (µm), time (from ZTX,
e.g. "Time (s)"), trace numbers with their labels (``label``), and per point
of a multi-region map mapX, mapY, region, region_title and start_time.
Long names and units are those of _units, units in ASCII (cm-1, um).
"""

import json
import re

import numpy as np

from . import _families, _units
from ._optional import need
from ._units import SPECTRAL


def variable_name(key):
    """The data variable's name: the data type, and the derivative if any (AB, AB_1DER)."""
    kind, _, deriv = key
    return kind if deriv.upper() == "NONE" else f"{kind}_{deriv}"


def _attrs(long_name, units):
    units = _units.ascii(units)
    return {"long_name": long_name, **({"units": units} if units else {})}


def _netcdf_value(value):
    """A parameter value as netCDF stores attributes, or None if it cannot."""
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, (int, np.integer)):
        return int(value) if -(1 << 63) <= value < (1 << 63) else str(value)
    if isinstance(value, (float, np.floating, str)):
        return value
    if isinstance(value, bytes):
        return value.decode("latin-1")
    return None


# A name every netCDF reader takes: ASCII, no '/' or control characters, a
# letter, digit or '_' first, no space last.
_NAME = re.compile(r"[A-Za-z0-9_][ -.0-~]*(?<! )")


def _storable_names(params, taken):
    """{name: value} of the parameters under names netCDF can store; a
    parameter whose name it cannot is renamed (spaces around it dropped,
    other characters as '_'), or skipped if that name is empty or taken.
    Each rename and skip is noted, as JSON, in ixarkit_renamed ({new: old})
    and ixarkit_skipped ({name: value})."""
    out, renamed, skipped = {}, {}, {}
    odd = [name for name in params if not _NAME.fullmatch(name)]
    taken = set(taken) | (set(params) - set(odd))
    for name, value in params.items():
        if name not in odd:
            out[name] = value
            continue
        new = re.sub(r"[^ -.0-~]", "_", name.strip())
        new = new if not new or _NAME.fullmatch(new) else "_" + new
        if new and new not in taken:
            taken.add(new)
            out[new], renamed[new] = value, name
        else:
            skipped[name] = value
    for note, names in (("ixarkit_renamed", renamed), ("ixarkit_skipped", skipped)):
        if names:
            out[note] = json.dumps(names, default=str)
    return out


def attributes(block):
    """The parameters that netCDF can store, and what names the data set."""
    params = {}
    for name, value in block.parameters.items():
        value = _netcdf_value(value)
        if value is not None:
            params[name] = value
    own = ("long_name", "units", "data_type", "dimension", "derivative", "ixarkit_kind")
    attrs = _storable_names(params, own)
    attrs.update(_attrs(*_units.y_axis(block.key[0].upper(), block.key[2].upper(), block.parameters)))
    attrs.update(data_type=block.key[0], dimension=block.key[1], derivative=block.key[2], ixarkit_kind=block.kind)
    return attrs


def _strings(values):
    """Text as an object array: stored as variable-length strings in netCDF and Zarr."""
    out = np.empty(len(values), dtype=object)
    out[:] = [str(v) for v in values]
    return out


def _names(coordinate, parameters):
    """(long name, units) of a coordinate of _families.COORDINATES."""
    if coordinate.units == "x":
        return _units.x_axis(parameters, unknown=("Spectral axis", None))
    if coordinate.units == "z":
        return _units.z_axis(parameters, default="Time")
    return coordinate.long_name, _units.MAP_UNIT if coordinate.units == "map" else None


def _repeated(block, values):
    """A value per region, repeated for each of its points."""
    return np.repeat(values, [n for _, n, *_ in block._info.regions])


def _labels(block, coords):
    """The trace labels, when there is one for every trace."""
    labels = block.labels
    return _strings(labels) if labels and len(labels) == len(coords["trace"]) else None


# The values of the coordinates that DataBlock.coords leaves out: f(block, coords), None for none.
VALUES = {
    "label": _labels,
    "region_title": lambda block, coords: _strings(_repeated(block, [t for *_, t in block._info.regions])),
    "start_time": lambda block, coords: block._times(),
}


def coordinates(block):
    """{name: (dims, values, attrs)} of every coordinate of the block."""
    family, spectral, dims = block._family, block._spectral(), block.dims
    coords, parameters = block.coords, block.parameters
    out = {}
    for name in family.coords:
        coordinate = _families.COORDINATES[name]
        values = coords[spectral if name == SPECTRAL else name] if coordinate.handle else VALUES[name](block, coords)
        if values is not None:
            out[spectral if name == SPECTRAL else name] = (
                (spectral if coordinate.dim == SPECTRAL else coordinate.dim,), values,
                _attrs(*_names(coordinate, parameters)))
    assert all(set(d) <= set(dims) for d, _, _ in out.values())
    return out


def to_xarray(block, chunks=None):
    xr = need("xarray", "xarray", "DataBlock.to_xarray")
    data = np.asarray(block) if chunks is None else block.to_dask(chunks)
    coords = {name: xr.Variable(d, v, attrs) for name, (d, v, attrs) in coordinates(block).items()}
    return xr.DataArray(data, dims=block.dims, coords=coords, name=variable_name(block.key),
                        attrs=attributes(block))
