"""DataBlock.to_xarray and what the xarray backend shares with it: names,
coordinates with units, attributes.

Dimensions, by family (the spectral axis is named after the x units: wavenumber
(WN), wavelength (MI, NM), log_wavenumber (LGW), sample (PNT), spectral_time
(MIN, SEC in a time-resolved series), time (MIN, SEC otherwise), spectral when
the file does not say):

    single                  (wavenumber,)
    image                   (y, x, wavenumber)
    image-traces            (y, x, trace)
    time-resolved           (time, wavenumber)
    time-resolved-traces    (trace, wavenumber)
    multi-region            (point, wavenumber)
    multi-region-traces     (point, trace)

Coordinates: the spectral axis, map x and y (µm), time (from ZTX, e.g.
"Time (s)"), trace numbers with their labels (``label``), and per point of a
multi-region map mapX, mapY, region, region_title and start_time.
"""

import json
import re

import numpy as np

from ._optional import need

# x units by their codes: (long name, units)
X_UNITS = {"WN": ("Wavenumber", "cm-1"), "MI": ("Wavelength", "um"), "NM": ("Wavelength", "nm"),
           "LGW": ("log(wavenumber)", "log(cm-1)"), "MIN": ("Time", "min"), "SEC": ("Time", "s"),
           "PNT": ("Point", "1")}
# values by data type: (long name, units or None)
Y_UNITS = {"AB": ("Absorbance", "AU"), "TR": ("Transmittance", None), "REFL": ("Reflectance", None),
           "KM": ("Kubelka-Munk", "KMU"), "ATR": ("ATR absorbance", "AU"), "LREFL": ("log(1/reflectance)", None),
           "SSC": ("Sample single channel", None), "RSC": ("Reference single channel", None),
           "SIFG": ("Sample interferogram", None), "RIFG": ("Reference interferogram", None),
           "SPOW": ("Sample power spectrum", None), "RPOW": ("Reference power spectrum", None),
           "SPH": ("Sample phase", None), "RPH": ("Reference phase", None), "EMIS": ("Emission", None),
           "RAM": ("Raman intensity", None), "PAS": ("Photoacoustic signal", None), "TRC": ("Trace value", None)}
MAP_UNITS = "um"  # stage positions


def variable_name(key):
    """The data variable's name: the data type, and the derivative if any (AB, AB_1DER)."""
    kind, _, deriv = key
    return kind if deriv.upper() == "NONE" else f"{kind}_{deriv}"


def _attrs(long_name, units):
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
    long_name, units = Y_UNITS.get(block.key[0].upper(), (block.key[0], None))
    deriv = block.key[2].upper()
    if deriv != "NONE":
        long_name = f"{long_name}, {deriv.lower()}"
    attrs.update(_attrs(long_name, units))
    attrs.update(data_type=block.key[0], dimension=block.key[1], derivative=block.key[2], ixarkit_kind=block.kind)
    return attrs


def _split_label(text, default):
    """"Time (s)" -> ("Time", "s")."""
    m = re.fullmatch(r"\s*(.*?)\s*\((.*)\)\s*", text or "")
    return (m.group(1) or default, m.group(2)) if m else ((text or default).strip(), None)


def _strings(values):
    """Text as an object array: stored as variable-length strings in netCDF and Zarr."""
    out = np.empty(len(values), dtype=object)
    out[:] = [str(v) for v in values]
    return out


def coordinates(block):
    """{name: (dims, values, attrs)} of every coordinate of the block."""
    kind, dims, info = block.kind, block.dims, block._info
    coords = block.coords
    code = str(block.parameters.get("DXU", "") or "")
    spectral = block._spectral()[0]
    out = {}
    if spectral in coords:
        out[spectral] = ((spectral,), coords[spectral], _attrs(*X_UNITS.get(code, ("Spectral axis", None))))
    if kind.startswith("image"):
        out["y"] = (("y",), coords["y"], _attrs("Map y", MAP_UNITS))
        out["x"] = (("x",), coords["x"], _attrs("Map x", MAP_UNITS))
    if "traces" in kind:
        out["trace"] = (("trace",), coords["trace"], _attrs("Trace number", None))
        labels = block.labels
        if labels and len(labels) == len(coords["trace"]):
            out["label"] = (("trace",), _strings(labels), {"long_name": "Trace label"})
    if kind == "time-resolved":
        name, units = _split_label(str(block.parameters.get("ZTX", "") or ""), "Time")
        out["time"] = (("time",), coords["time"], _attrs(name, units))
    if kind.startswith("multi-region"):
        out["point"] = (("point",), coords["point"], _attrs("Point number", None))
        out["mapX"] = (("point",), coords["mapX"], _attrs("Map x", MAP_UNITS))
        out["mapY"] = (("point",), coords["mapY"], _attrs("Map y", MAP_UNITS))
        out["region"] = (("point",), coords["region"], _attrs("Region number", None))
        titles = [t for *_, t in info.regions]
        out["region_title"] = (("point",), _strings(np.repeat(titles, [n for _, n, *_ in info.regions])),
                               {"long_name": "Region title"})
        if kind == "multi-region":
            out["start_time"] = (("point",), block._times(), _attrs("Start time", None))
    assert all(set(d) <= set(dims) for d, _, _ in out.values())
    return out


def to_xarray(block, chunks=None):
    xr = need("xarray", "xarray", "DataBlock.to_xarray")
    data = np.asarray(block) if chunks is None else block.to_dask(chunks)
    coords = {name: xr.Variable(d, v, attrs) for name, (d, v, attrs) in coordinates(block).items()}
    return xr.DataArray(data, dims=block.dims, coords=coords, name=variable_name(block.key),
                        attrs=attributes(block))
