import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_F32 = npt.NDArray[np.float32]
_F64 = npt.NDArray[np.float64]
_Param = Union[int, float, str]

class BaseDataReturn:
    description: str
    dimension: str
    dataType: str
    derivative: str
    parameters: Dict[str, _Param]
    x: _F64
    minY: _Param
    maxY: _Param
    def __init__(
        self,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, _Param],
        x: _F64,
        minY: _Param,
        maxY: _Param,
    ) -> None: ...

class SingleDataReturn(BaseDataReturn):
    y: _F32
    def __init__(self, y: _F32, **kwds: Any) -> None: ...

class ImageDataReturn(BaseDataReturn):
    mapX: _F64
    mapY: _F64
    spectra: _F32
    def __init__(self, mapX: _F64, mapY: _F64, spectra: _F32, **kwds: Any) -> None: ...

class ImageTRCDataReturn(BaseDataReturn):
    mapX: _F64
    mapY: _F64
    labels: List[str]
    traces: _F32
    def __init__(self, mapX: _F64, mapY: _F64, labels: List[str], traces: _F32, **kwds: Any) -> None: ...

class TimeResolvedDataReturn(BaseDataReturn):
    z: _F64
    spectra: _F32
    def __init__(self, z: _F64, spectra: _F32, **kwds: Any) -> None: ...

class TimeResolvedTRCDataReturn(BaseDataReturn):
    labels: List[str]
    traces: _F32
    def __init__(self, labels: List[str], traces: _F32, **kwds: Any) -> None: ...

class MultiRegionDataReturn(BaseDataReturn):
    regions: List[Region]
    def __init__(self, regions: List[Region], **kwds: Any) -> None: ...

class Region:
    title: str
    mapX: _F64
    mapY: _F64
    start_time: Optional[_F64]
    spectra: _F32
    def __init__(
        self, title: str, mapX: _F64, mapY: _F64, start_time: Optional[_F64], spectra: _F32
    ) -> None: ...

class MultiRegionTRCDataReturn(BaseDataReturn):
    labels: List[str]
    regions: List[Region]
    def __init__(self, labels: List[str], regions: List[Region], **kwds: Any) -> None: ...

_Result = Union[
    SingleDataReturn,
    ImageDataReturn,
    ImageTRCDataReturn,
    TimeResolvedDataReturn,
    TimeResolvedTRCDataReturn,
    MultiRegionDataReturn,
    MultiRegionTRCDataReturn,
]

def help() -> None: ...
def listContents(path: _Path, /) -> List[Tuple[str, str, str]]: ...
def isIxarFile(path: _Path, /) -> bool: ...
def getIxarData(path: Optional[str], datablock: Sequence[str]) -> _Result: ...

paramDict: Dict[str, str]

__version__: str
