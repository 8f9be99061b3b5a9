# Result classes handed back by getIxarData: BaseDataReturn, its seven
# subclasses and Region. They only store what they are given and build the
# `description` guide text; nothing is checked or copied.
#
# Docstrings follow one layout (see _doc) and are assigned to __doc__
# explicitly, so that their exact indentation survives compilers that dedent
# docstring literals and runs with -OO.
#
# They carry their types inline (the package's stubs take them from here),
# and __all__ lists them in the order the package exports them.
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = [
    "BaseDataReturn",
    "SingleDataReturn",
    "ImageDataReturn",
    "ImageTRCDataReturn",
    "TimeResolvedDataReturn",
    "TimeResolvedTRCDataReturn",
    "MultiRegionDataReturn",
    "Region",
    "MultiRegionTRCDataReturn",
]

_F32 = npt.NDArray[np.float32]
_F64 = npt.NDArray[np.float64]
_Param = Union[int, float, str]
_Line = Union[str, Tuple[int, str]]  # a docstring's attribute line, or (indent, line)


def _doc(summary: Sequence[str], attributes: Sequence[_Line],
         note: Sequence[str] = ()) -> str:
    """A class docstring: summary, optional note, then the attribute lines,
    each indented by eight spaces unless given as (indent, text)."""
    lines = [""] + ["    " + s for s in summary] + [""]
    if note:
        lines += ["    " + s for s in note] + [""]
    lines.append("    Attributes:")
    for line in attributes:
        indent, text = line if isinstance(line, tuple) else (8, line)
        lines.append(" " * indent + text)
    return "\n".join(lines) + "\n    "


def _base_lines(x_line: str = "x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates") -> List[_Line]:
    return [
        "description (str):  Description of the data object attributes",
        "dimension (str):    Datablock dimensions (2D or 3D)",
        "dataType (str):     The datablock type (AB, TR, SSC, etc)",
        "derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)",
        "parameters (dict):  Dictionary of relevant data/sample/instrument parameters",
        x_line,
        "minY (float):       Minimum y value",
        "maxY (float):       Maximum y value",
    ]


_MAP_LINES: List[_Line] = [
    "mapX (:obj:`ndarray`):      1D numpy array of X map coordinates",
    "mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates",
]
_MULTIREGION_SUMMARY = [
    "Hyperspectral multiregion point map(s) returned by .getIxarData() for",
    "multiregion 3D point mapping datablocks.",
]
_MULTIREGION_NOTE = [
    "Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates",
    "cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.",
]
_REGION_LINES: List[_Line] = [
    "regions (:obj:`list` of :obj:`Region`): List of regions.",
    (28, "Each region is a :class:Region containing"),
    "regions[0].title (str):     description of region",
    "regions[0].mapX (ndarray):  1D numpy array of X map coordinates",
    "regions[0].mapY (ndarray):  1D numpy array of Y map coordinates",
]

# The map diagram of the two image descriptions.
_MAP_DIAGRAM = (
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
)
_REGION_TEXT = (
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n"
)
_LABELS_TEXT = "\ta list containing the names of the trace blocks (.labels)\n"


class BaseDataReturn(object):
    __module__ = "ixarkit"
    __doc__ = _doc(["Base class for data object returned by .getIxarData()."], _base_lines())
    description: str
    dimension: str
    dataType: str
    derivative: str
    parameters: Dict[str, _Param]
    x: _F64
    minY: _Param
    maxY: _Param

    def __init__(self, dimension: str, dataType: str, deriv: str, parameters: Dict[str, _Param], x: _F64,
                 minY: _Param, maxY: _Param) -> None:
        self.dimension = dimension
        self.dataType = dataType
        self.derivative = deriv
        self.parameters = parameters
        self.x = x
        self.minY = minY
        self.maxY = maxY
        self.description = (
            "This object contains:\n"
            "\tdimension of file (.dimension)\n"
            "\tdata block type (.dataType)\n"
            "\tderivative type (.derivative)\n"
            "\tdictionary of parameters with parameter name then value (.parameters)\n"
            "\tspectrum x coordinates (.x)\n"
            "\tminimum and maximum y values (.minY and .maxY)\n"
        )

    def __str__(self) -> str:
        return self.description

    def __repr__(self) -> str:
        return self.description


class SingleDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        ["Single spectrum data object returned by .getIxarData() for 2D datablocks."],
        _base_lines() + ["y (:obj:`ndarray`): 1D numpy array of y values"],
    )

    y: _F32

    def __init__(self, y: _F32, **kwds: Any) -> None:
        self.y = y
        super().__init__(**kwds)
        self.description = self.description + "\ty data points (.y)\n"


class ImageDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        ["Hyperspectral data object returned by .getIxarData() for 3D image datablocks."],
        _base_lines() + _MAP_LINES + [
            "spectra (:obj:`ndarray`):   3D numpy array of spectral maps",
            (36, "dataObject.spectra[row][column][x]"),
        ],
    )

    mapX: _F64
    mapY: _F64
    spectra: _F32

    def __init__(self, mapX: _F64, mapY: _F64, spectra: _F32, **kwds: Any) -> None:
        self.mapX = mapX
        self.mapY = mapY
        self.spectra = spectra
        super().__init__(**kwds)
        self.description = self.description + (
            "\tx mapping coordinates (.mapX)\n"
            "\ty mapping coordinates (.mapY)\n"
            "\t3D numpy array containing the spectrum associated with the x and y"
            " mapping coordinates (.spectra)\n"
            + _MAP_DIAGRAM
            + "\taccess the spectrum with returnedObject.spectra[row][column]\n"
        )


class ImageTRCDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        ["Map(s) of a single spectral feature/integral/calculation returned by",
         ".getIxarData() for 3D image TRC datablocks."],
        _base_lines() + _MAP_LINES + [
            "labels (:obj:`list` of :obj:`str`):      List of trace block names",
            "traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with",
            (49, "same index as labels:"),
            (49, "dataObject.traces[:,:,index]"),
        ],
    )

    mapX: _F64
    mapY: _F64
    labels: List[str]
    traces: _F32

    def __init__(self, mapX: _F64, mapY: _F64, labels: List[str], traces: _F32, **kwds: Any) -> None:
        self.mapX = mapX
        self.mapY = mapY
        self.labels = labels
        self.traces = traces
        super().__init__(**kwds)
        self.description = self.description + (
            "\tx mapping coordinates (.mapX)\n"
            "\ty mapping coordinates (.mapY)\n"
            + _LABELS_TEXT
            + "\t3D numpy array containing the trace values associated with the x and y"
            " mapping coordinates (.traces)\n"
            + _MAP_DIAGRAM
            + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n"
        )


class TimeResolvedDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        ["Time-resolved spectra data object returned by .getIxarData() for 3D-TRS datablocks."],
        _base_lines() + [
            "z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates",
            "spectra (:obj:`ndarray`):   2D numpy array of spectral time series",
            (36, "dataObject.spectra[z][x]"),
        ],
        note=["Z Axis units are available from dataObject.parameters['ZTX']"],
    )

    z: _F64
    spectra: _F32

    def __init__(self, z: _F64, spectra: _F32, **kwds: Any) -> None:
        self.z = z
        self.spectra = spectra
        super().__init__(**kwds)
        self.description = self.description + (
            "\tz (time) axis coordinates (.z)\n"
            "\t2D numpy array containing the spectrum associated with the z time"
            " coordinates (.spectra)\n"
            "\taccess the spectrum with returnedObject.spectra[z]\n"
        )


class TimeResolvedTRCDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        ["Time-resolved trace data object returned by .getIxarData() for 3D-TRS TRC datablocks."],
        _base_lines("x (:obj:`ndarray`): 1D numpy array of trace x coordinates") + [
            "labels (:obj:`list` of :obj:`str`):      List of trace names",
            "traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with",
            (49, "same index as labels:"),
            (49, "dataObject.traces[index]"),
        ],
        note=["x axis units are available from dataObject.parameters['DXU']"],
    )

    labels: List[str]
    traces: _F32

    def __init__(self, labels: List[str], traces: _F32, **kwds: Any) -> None:
        self.labels = labels
        self.traces = traces
        super().__init__(**kwds)
        self.description = self.description + (
            _LABELS_TEXT
            + "\t2D numpy array containing trace values (.traces)\n"
            "\taccess the trace with returnedObject.traces[label index]\n"
        )


class MultiRegionDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        _MULTIREGION_SUMMARY,
        _base_lines() + _REGION_LINES + [
            "regions[0].start_time (ndarray):   timestamps of spectrum acquisition array",
            "regions[0].spectra (ndarray):   2D numpy array of of spectra in the region:",
            (40, "returnedObject.regions[region index].spectra[row]"),
        ],
        note=_MULTIREGION_NOTE,
    )

    regions: List["Region"]

    def __init__(self, regions: List["Region"], **kwds: Any) -> None:
        self.regions = regions
        super().__init__(**kwds)
        # This addition, like the trace variant's, ends without a line feed.
        self.description = self.description + (
            _REGION_TEXT
            + "\t\ttimestamps of spectrum acquisition array (start_time)\n"
            "\t\t2D array containing spectra in the region (spectra)\n"
            "\t\taccess a spectrum with\n"
            "\t\t\treturnedObject.regions[region index].spectra[row]"
        )


class Region(object):
    __module__ = "ixarkit"
    __doc__ = _doc(
        ["Returned as part of a :class:MultiRegionDataReturn."],
        [
            "title (str):        description of region",
            "mapX (ndarray):     1D numpy array of X map coordinates",
            "mapY (ndarray):     1D numpy array of Y map coordinates",
            "start_time (ndarray):  timestamps of spectrum acquisition array",
            "spectra (ndarray):  2D numpy array of of spectra in the region:",
            (28, "spectra[row]"),
        ],
    )

    title: str
    mapX: _F64
    mapY: _F64
    start_time: Optional[_F64]
    spectra: _F32

    def __init__(self, title: str, mapX: _F64, mapY: _F64, start_time: Optional[_F64], spectra: _F32) -> None:
        self.title = title
        self.mapX = mapX
        self.mapY = mapY
        self.start_time = start_time
        self.spectra = spectra

    def __repr__(self) -> str:
        return self.title


class MultiRegionTRCDataReturn(BaseDataReturn):
    __module__ = "ixarkit"
    __doc__ = _doc(
        _MULTIREGION_SUMMARY,
        _base_lines() + ["labels (:obj:`list` of :obj:`str`):      List of trace block names"]
        + _REGION_LINES + [
            "regions[0].spectra (ndarray):   2D numpy array of traces in the region:",
            (40, "returnedObject.regions[region index].spectra[row]"),
            (40, "As with :class:ImageTRCDataReturn, the index of the"),
            (40, "resulting array corresponds to the .labels index"),
        ],
        note=_MULTIREGION_NOTE,
    )

    labels: List[str]
    regions: List[Region]

    def __init__(self, labels: List[str], regions: List[Region], **kwds: Any) -> None:
        self.labels = labels
        self.regions = regions
        super().__init__(**kwds)
        self.description = self.description + (
            _LABELS_TEXT
            + _REGION_TEXT
            + "\t\t2D array containing traces in the region (spectra)\n"
            "\t\taccess the traces for a position with\n"
            "\t\t\treturnedObject.regions[region index].spectra[row]"
        )


# What getIxarData may return.
Result = Union[
    SingleDataReturn,
    ImageDataReturn,
    ImageTRCDataReturn,
    TimeResolvedDataReturn,
    TimeResolvedTRCDataReturn,
    MultiRegionDataReturn,
    MultiRegionTRCDataReturn,
]
