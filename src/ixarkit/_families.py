"""The families of data sets, each described once: by the name the core
gives it (``DataBlock.kind``), its dims, which of them run over records,
its result class and main array, its coordinates, what the command line
says of it and what it becomes in HyperSpy. The handle, Dask, xarray, Orange,
HyperSpy and the command line read this table;
none of them switches on family names or result classes.

A new family is a row of FAMILIES (and its result class in _results.py);
its coordinates, drawing and CSV layout are chosen among those below, or
added beside them.
"""

from typing import NamedTuple, Optional, Tuple

import numpy as np

from . import _core, _results
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
    record_axes: Tuple[int, ...]  # the axes along which the file's records follow each other (the core's planner says)
    result: type                  # what getIxarData returns
    main: str                     # the result's attribute that holds the main array
    arrays: Tuple[str, ...]       # the result's attributes that take the arrays the reader fills, in its order
    coords: Tuple[str, ...]       # names of COORDINATES, in order
    series: bool                  # records follow each other in time: an x axis in time is spectral_time
    plural: str                   # "image maps": what the command line calls several
    listing: Tuple[str, ...]      # the listing's words after the data type (see _cli.listing)
    csv: Optional[str]            # how CSV holds it: "by x", "by record", or None (it cannot)
    drawing: str                  # how --plot and the viewer draw it (see _cli.plots, _view.app)
    hyperspy: Signal              # what to_hyperspy makes of it
    exports: Tuple[str, ...] = () # the command line's formats of one family's data sets ("jdx", "envi")

    @property
    def traces(self):
        """Whether it holds traces (a trace axis, with labels), not spectra."""
        return "trace" in self.dims


class Layout(NamedTuple):
    """What the handle knows of a data set before reading its values (the
    reader makes one per data set and open file, and keeps it)."""
    family: str                 # a name of FAMILIES
    shape: Tuple[int, ...]      # of the main array
    parameters: dict            # as getIxarData gives them
    x: object                   # the x axis
    mapX: object                # image maps: x of each column of the map; else None
    mapY: object                # image maps: y of each row of the map; else None
    regions: list               # multi-region maps: (group, points, title) of each region
    pointX: object              # multi-region maps: x of each point; else None
    pointY: object              # multi-region maps: y of each point; else None
    records: object             # file offset of each record, in the order of the main array (-2**63: none)


def _row(name, **fields):
    """A family's row, with the record axes its planner in the core gives."""
    return Family(name, record_axes=_RECORD_AXES[name], **fields)


_RECORD_AXES = dict(_core.FAMILIES)
_S = SPECTRAL
_REGIONS = ("point", "mapX", "mapY", "region", "region_title")
FAMILIES = {f.name: f for f in (
    _row("single", dims=(_S,), result=_results.SingleDataReturn, main="y", arrays=("y",),
           coords=(_S,), series=False, plural="spectra",
           listing=("spectrum of {npt} points", "{x_range}"), csv="by x", drawing="spectrum",
           hyperspy=Signal((), (_S,)), exports=("jdx",)),
    _row("image", dims=("y", "x", _S), result=_results.ImageDataReturn, main="spectra",
           arrays=("spectra",), coords=(_S, "y", "x"), series=False, plural="image maps",
           listing=("image map of {grid} points", "{npt} points per spectrum", "{x_range}"),
           csv=None, drawing="image",
           hyperspy=Signal(("y", "x"), (_S,)), exports=("envi",)),
    _row("image-traces", dims=("y", "x", "trace"), result=_results.ImageTRCDataReturn,
           main="traces", arrays=("traces",), coords=("y", "x", "trace", "label"), series=False,
           plural="trace maps", listing=("trace maps of {grid} points", "{traces}"), csv=None, drawing="trace maps",
           hyperspy=Signal(("trace",), ("y", "x"))),
    _row("time-resolved", dims=("time", _S), result=_results.TimeResolvedDataReturn,
           main="spectra", arrays=("spectra", "z"), coords=(_S, "time"), series=True,
           plural="time-resolved series",
           listing=("time-resolved series of {records} spectra of {npt} points", "{x_range}", "{z_range}"),
           csv="by record", drawing="heat map",
           hyperspy=Signal(("time",), (_S,))),
    _row("time-resolved-traces", dims=("trace", _S),
           result=_results.TimeResolvedTRCDataReturn, main="traces", arrays=("traces",),
           coords=(_S, "trace", "label"), series=True, plural="time-resolved traces",
           listing=("time-resolved traces of {npt} points", "{x_range}", "{traces}"), csv="by x", drawing="lines",
           hyperspy=Signal(("trace",), (_S,))),
    _row("multi-region", dims=("point", _S), result=_results.MultiRegionDataReturn,
           main="regions", arrays=(), coords=(_S,) + _REGIONS + ("start_time",), series=False,
           plural="multi-region maps",
           listing=("multi-region map of {points} points in {regions} regions", "regions: {titles}",
                    "{npt} points per spectrum", "{x_range}"), csv=None, drawing="region map",
           hyperspy=Signal(("point",), (_S,))),
    _row("multi-region-traces", dims=("point", "trace"),
           result=_results.MultiRegionTRCDataReturn, main="regions", arrays=(),
           coords=("trace", "label") + _REGIONS, series=False, plural="multi-region trace maps",
           listing=("multi-region trace map of {points} points in {regions} regions", "regions: {titles}",
                    "{traces}"), csv=None, drawing="region traces",
           hyperspy=Signal(("point",), ("trace",))),
)}
_BY_RESULT = {f.result: f for f in FAMILIES.values()}


def build(name, request, parameters, x, mapX, mapY, arrays, labels, regions):
    """What getIxarData gives: the result of family ``name`` made of what
    the reader read: the request's words (dataType, dimension, deriv), the
    parameters, the x axis, the map axes (images; else None), its arrays in
    the family's ``arrays`` order, the trace labels, and (region, spectra,
    mapX, mapY, start_time) of each region (region as region_title takes it)."""
    family = FAMILIES[name]
    dataType, dimension, deriv = request
    kw = dict(zip(family.arrays, arrays), dimension=dimension, dataType=dataType, deriv=deriv, x=x,
              minY=parameters["MNY"], maxY=parameters["MXY"], parameters=parameters)
    if mapX is not None:
        kw.update(mapX=mapX, mapY=mapY)
    if "label" in family.coords:
        kw["labels"] = labels
    if family.main == "regions":
        kw["regions"] = [_results.Region(title=region_title(*region), spectra=spectra, mapX=mx, mapY=my,
                                         start_time=start)
                         for region, spectra, mx, my, start in regions]
    return family.result(**kw)


def region_title(group, loose, points, nx, ny):
    """"Region 1 (4 x 3)" for a grid of AryNX x AryNY, "Region 2 (5 points)"
    for a region of loose points."""
    return f"Region {group} ({points} points)" if loose else f"Region {group} ({nx} x {ny})"


def layout(family, shape, parameters, x, mapX, mapY, regions, points, records):
    """The Layout of what the reader gives for a data set: regions as
    (group, loose, points, nx, ny); points (multi-region maps; else None) as
    the bytes of x, y of each point; the records as the bytes of their
    offsets."""
    pointX = pointY = None
    if points is not None:
        xy = np.frombuffer(points, np.float64).reshape(-1, 2)
        pointX, pointY = np.array(xy[:, 0]), np.array(xy[:, 1])
    return Layout(family, shape, parameters, x, mapX, mapY,
                  [(g, n, region_title(g, loose, n, nx, ny)) for g, loose, n, nx, ny in regions],
                  pointX, pointY, np.frombuffer(records, np.int64))


# Bytes of values a Dask chunk holds by default, and a lazy band's task:
# also the size below which the viewer reads a data set whole.
CHUNK_BYTES = 128 << 20

# In a Layout's records: no record there (an empty cell of an image map).
NO_RECORD = np.iinfo(np.int64).min


def first_outside(records, npt, size):
    """The index of the first record of npt float32 values that does not
    lie whole in a file of ``size`` bytes, or None (no record: none)."""
    outside = (records != NO_RECORD) & ((records < 0) | (records > size - 4 * npt))
    return int(np.argmax(outside)) if outside.any() else None


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
