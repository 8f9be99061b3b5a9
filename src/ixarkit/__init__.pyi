import mmap
import os
from typing import Any, BinaryIO, Dict, Iterator, List, Literal, Mapping, Optional, Sequence, Tuple, Union, overload

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

# The handle API.
_Key = Tuple[str, str, str]
# Any is an fsspec OpenFile (fsspec is optional).
_Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, mmap.mmap, BinaryIO, Any]

class DataBlock:
    key: _Key
    dtype: "np.dtype[np.float32]"
    @property
    def kind(self) -> str: ...
    @property
    def parameters(self) -> Dict[str, Any]: ...
    @property
    def shape(self) -> Tuple[int, ...]: ...
    @property
    def ndim(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def dims(self) -> Tuple[str, ...]: ...
    @property
    def coords(self) -> Dict[str, "npt.NDArray[Any]"]: ...
    @property
    def labels(self) -> Optional[List[str]]: ...
    def read(self) -> _Result: ...
    def __getitem__(self, index: Any) -> _F32: ...
    def __array__(self, dtype: Any = ..., copy: Any = ...) -> _F32: ...
    # a map, one value per spectrum or point, or a number (a single spectrum); lazy: a dask.array
    @overload
    def band(
        self, lo: float, hi: float, how: Literal["integral", "mean"] = ..., lazy: Literal[False] = ...
    ) -> Union[_F64, np.float64]: ...
    @overload
    def band(self, lo: float, hi: float, how: Literal["integral", "mean"] = ..., lazy: bool = ...) -> Any: ...
    # dask.array.Array, xarray.DataArray and HyperSpy signals: optional dependencies
    def to_dask(self, chunks: Any = ...) -> Any: ...
    def to_xarray(self, chunks: Any = ...) -> Any: ...
    def to_hyperspy(self, lazy: bool = ...) -> Any: ...
    def view(self, notebook_url: str = ...) -> Any: ...

class IxarFile(Mapping[_Key, DataBlock]):
    name: Optional[str]
    def __init__(self, source: _Source) -> None: ...
    # a data set: its three words as a tuple, or one string of them ("AB 3D NONE")
    def __getitem__(self, key: Union[_Key, Sequence[str], str]) -> DataBlock: ...
    def __iter__(self) -> Iterator[_Key]: ...
    def __len__(self) -> int: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> "IxarFile": ...
    def __exit__(self, *exc: Any) -> None: ...

def open(source: _Source) -> IxarFile: ...
