"""The families of data sets, each described once: by the name the core
gives it (``DataBlock.kind``), its dims, which of them run over records,
its result class and main array, its coordinates, what the command line
says of it and what it becomes in HyperSpy. The handle, Dask, xarray,
HyperSpy and the command line read this table;
none of them switches on family names or result classes.

A new family is a row of FAMILIES (and its result class in _results.py);
its coordinates, drawing and CSV layout are chosen among those below, or
added beside them.
"""

from typing import NamedTuple, Optional, Tuple

from . import _results
from ._units import SPECTRAL


class Coordinate(NamedTuple):
    dim: str                  # the dim it runs along (SPECTRAL: the spectral one)
    long_name: Optional[str]  # None: from the units (x axis, z values)
    units: Optional[str]      # "x", "z" or "map": which units of _units; None: none
    handle: bool              # in DataBlock.coords; else only on xarray objects


# Every coordinate a family may have, by name. Their values come from the
# data set's layout (see _handle.COORDINATE_VALUES and _xarray.coordinates).
COORDINATES = {
    SPECTRAL: Coordinate(SPECTRAL, None, "x", True),
    "y": Coordinate("y", "Map y", "map", True),
    "x": Coordinate("x", "Map x", "map", True),
    "trace": Coordinate("trace", "Trace number", None, True),
    "label": Coordinate("trace", "Trace label", None, False),
    "time": Coordinate("time", None, "z", True),
    "point": Coordinate("point", "Point number", None, True),
    "mapX": Coordinate("point", "Map x", "map", True),
    "mapY": Coordinate("point", "Map y", "map", True),
    "region": Coordinate("point", "Region number", None, True),
    "region_title": Coordinate("point", "Region title", None, False),
    "start_time": Coordinate("point", "Start time", None, False),
}


class Signal(NamedTuple):
    """What a family becomes in HyperSpy: its dims in the signal's array
    order, navigation first; one signal dim makes a Signal1D, two a Signal2D."""
    navigation: Tuple[str, ...]
    signal: Tuple[str, ...]


class Family(NamedTuple):
    name: str
    dims: Tuple[str, ...]         # SPECTRAL stands for the spectral dim, named after the x units
    record_axes: Tuple[int, ...]  # the axes along which the file's records follow each other
    result: type                  # what getIxarData returns
    main: str                     # the result's attribute that holds the main array
    coords: Tuple[str, ...]       # names of COORDINATES, in order
    series: bool                  # records follow each other in time: an x axis in time is spectral_time
    plural: str                   # "image maps": what the command line calls several
    listing: Tuple[str, ...]      # the listing's words after the data type (see _cli.listing)
    csv: Optional[str]            # how CSV holds it: "by x", "by record", or None (it cannot)
    drawing: str                  # how --plot draws it (see _cli.plots)
    hyperspy: Signal              # what to_hyperspy makes of it


_S = SPECTRAL
_REGIONS = ("point", "mapX", "mapY", "region", "region_title")
FAMILIES = {f.name: f for f in (
    Family("single", dims=(_S,), record_axes=(), result=_results.SingleDataReturn, main="y",
           coords=(_S,), series=False, plural="spectra",
           listing=("spectrum of {npt} points", "{x_range}"), csv="by x", drawing="spectrum",
           hyperspy=Signal((), (_S,))),
    Family("image", dims=("y", "x", _S), record_axes=(0, 1), result=_results.ImageDataReturn, main="spectra",
           coords=(_S, "y", "x"), series=False, plural="image maps",
           listing=("image map of {grid} points", "{npt} points per spectrum", "{x_range}"),
           csv=None, drawing="image",
           hyperspy=Signal(("y", "x"), (_S,))),
    Family("image-traces", dims=("y", "x", "trace"), record_axes=(2,), result=_results.ImageTRCDataReturn,
           main="traces", coords=("y", "x", "trace", "label"), series=False, plural="trace maps",
           listing=("trace maps of {grid} points", "{traces}"), csv=None, drawing="trace maps",
           hyperspy=Signal(("trace",), ("y", "x"))),
    Family("time-resolved", dims=("time", _S), record_axes=(0,), result=_results.TimeResolvedDataReturn,
           main="spectra", coords=(_S, "time"), series=True, plural="time-resolved series",
           listing=("time-resolved series of {records} spectra of {npt} points", "{x_range}", "{z_range}"),
           csv="by record", drawing="heat map",
           hyperspy=Signal(("time",), (_S,))),
    Family("time-resolved-traces", dims=("trace", _S), record_axes=(0,),
           result=_results.TimeResolvedTRCDataReturn, main="traces", coords=(_S, "trace", "label"), series=True,
           plural="time-resolved traces",
           listing=("time-resolved traces of {npt} points", "{x_range}", "{traces}"), csv="by x", drawing="lines",
           hyperspy=Signal(("trace",), (_S,))),
    Family("multi-region", dims=("point", _S), record_axes=(0,), result=_results.MultiRegionDataReturn,
           main="regions", coords=(_S,) + _REGIONS + ("start_time",), series=False, plural="multi-region maps",
           listing=("multi-region map of {points} points in {regions} regions", "regions: {titles}",
                    "{npt} points per spectrum", "{x_range}"), csv=None, drawing="region map",
           hyperspy=Signal(("point",), (_S,))),
    Family("multi-region-traces", dims=("point", "trace"), record_axes=(1,),
           result=_results.MultiRegionTRCDataReturn, main="regions", coords=("trace", "label") + _REGIONS,
           series=False, plural="multi-region trace maps",
           listing=("multi-region trace map of {points} points in {regions} regions", "regions: {titles}",
                    "{traces}"), csv=None, drawing="region traces",
           hyperspy=Signal(("point",), ("trace",))),
)}
_BY_RESULT = {f.result: f for f in FAMILIES.values()}


def of_result(result):
    """The family of a result of getIxarData, or None."""
    return _BY_RESULT.get(type(result))


def dims(family, spectral):
    """The family's dims, with its spectral dim named ``spectral``."""
    return tuple(spectral if d == SPECTRAL else d for d in family.dims)


def spectral_name(family, unit_dim):
    """The spectral dim of the family for x units whose dim is ``unit_dim``
    (see _units.spectral_dim): in a series, an x axis in time is
    spectral_time, as time is the series' own axis."""
    return "spectral_time" if unit_dim == "time" and family.series else unit_dim
