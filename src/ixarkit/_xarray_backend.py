"""The xarray backend: xarray.open_dataset(path, engine="ixarkit", datablock=("AB", "3D", "NONE")).

The data variable is indexed lazily through the partial-read path, so
``ds.isel(...)``/``ds.sel(...)`` read only the records and values they select;
``ds.close()`` closes the file. With ``chunks=`` the variable is a Dask array
whose graph reopens the file from its path (see _dask.py). A Dataset pickles
as its graph does: unpickled, its variable reads the source again from the
source's description (a path, an fsspec OpenFile or the bytes).
"""

import os

from xarray import Dataset, Variable
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import _core, _dask, _sources, _xarray
from ._handle import IxarFile

SIGNATURE = _core.SIGNATURE


class IxarBackendArray(BackendArray):
    """A data set of an open file, for xarray's lazy indexing. Pickled, it
    becomes a BlockReader that opens the file again where it is unpickled."""

    def __init__(self, block):
        self.block = block
        self.shape, self.dtype = block.shape, block.dtype

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER_1VECTOR,
                                                  self._raw)

    def _raw(self, key):
        return self.block[key]

    def __reduce__(self):
        description = self.block._file._reopen(f"a pickled {self.block!r}")
        return _reader_array, (description, self.block.key, self.shape)


class _ReaderArray(BackendArray):
    def __init__(self, reader):
        self.reader, self.shape, self.dtype = reader, reader.shape, reader.dtype

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER_1VECTOR,
                                                  self.reader.__getitem__)


class _Closer:
    """The Dataset's close(): closes the file it opened. Pickled, it closes
    nothing, as the unpickled variables read through files of their own
    (see _dask.BlockReader)."""

    def __init__(self, file=None):
        self.file = file

    def __call__(self):
        if self.file is not None:
            self.file.close()

    def __reduce__(self):
        return _Closer, ()


def _reader_array(description, key, shape):
    return _ReaderArray(_dask.BlockReader(description, key, shape))


def open_block(filename_or_obj, datablock):
    """(IxarFile, DataBlock) of the data set named, or of the only one."""
    if isinstance(filename_or_obj, os.PathLike):
        filename_or_obj = os.fspath(filename_or_obj)
    f = IxarFile(filename_or_obj)
    try:
        if datablock is None:
            if len(f) != 1:
                listed = ", ".join(" ".join(k) for k in f) or "none"
                raise ValueError(f"{f._describe} holds {len(f)} data sets; choose one with datablock=, "
                                 f"e.g. datablock=({', '.join(map(repr, next(iter(f), ('AB', '3D', 'NONE'))))}). "
                                 f"Data sets: {listed}")
            datablock = next(iter(f))
        return f, f[datablock]  # a tuple or a string of the three words (see _request.named)
    except BaseException:
        f.close()
        raise


class IxarBackendEntrypoint(BackendEntrypoint):
    description = "Open IXAR spectrometer data files (ixarkit)"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "datablock")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, datablock=None):
        f, block = open_block(filename_or_obj, datablock)
        try:
            name = _xarray.variable_name(block.key)
            data = indexing.LazilyIndexedArray(IxarBackendArray(block))
            variables = {name: Variable(block.dims, data, _xarray.attributes(block))}
            coords = {k: Variable(d, v, a) for k, (d, v, a) in _xarray.coordinates(block).items()}
            drop = set([drop_variables] if isinstance(drop_variables, str) else drop_variables or ())
            ds = Dataset({k: v for k, v in variables.items() if k not in drop},
                         coords={k: v for k, v in coords.items() if k not in drop},
                         attrs={"source": str(f.name) if f.name is not None else f._describe})
        except BaseException:
            f.close()
            raise
        ds.set_close(_Closer(f))
        return ds

    def guess_can_open(self, filename_or_obj):
        """Whether the source starts with the IXAR signature: a path, bytes
        in memory, a binary file object (read at its start, then put back
        where it was) or an fsspec OpenFile."""
        return _signature(filename_or_obj) == SIGNATURE


def _signature(source):
    """The first four bytes of a source, or None where they cannot be had."""
    try:
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as fh:
                return fh.read(4)
        if isinstance(source, (bytes, bytearray)) or type(source).__name__ == "mmap":
            return bytes(source[:4])
        if isinstance(source, memoryview):
            return source.cast("B")[:4].tobytes() if source.contiguous else None
        if _sources.is_openfile(source):
            with _sources.open_openfile(source) as fh:
                return fh.read(4)
        if callable(getattr(source, "read", None)) and callable(getattr(source, "seek", None)):
            where = source.tell()
            try:
                source.seek(0)
                head = source.read(4)
            finally:
                source.seek(where)
            return head if isinstance(head, bytes) else None
    except Exception:  # unreadable, closed, not seekable, text: not ours to open
        return None
    return None
