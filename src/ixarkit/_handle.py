"""ixarkit.open: a file opened once, its data sets as lazily read blocks.

    with ixarkit.open("map.ixar") as f:
        block = f["AB", "3D", "NONE"]
        pixel = block[10, 20]            # reads one record
        band = block[:, :, 100:110]      # reads ten values of every record
        result = block.read()            # what getIxarData returns

A source is a path, a binary file object (read with positioned reads on its
descriptor when it has one, else through seek and readinto, one reader at a time),
bytes in memory (bytes, bytearray, memoryview, mmap: read in place), an
fsspec OpenFile (local, in-memory or remote storage; opened here, closed
with the IxarFile) or the URL of one (``s3://bucket/map.ixar``, with the
options fsspec's configuration gives its protocol).

block.to_dask() and block.to_xarray() live in _dask.py and _xarray.py.
"""

from collections.abc import Mapping

import numpy as np

from . import _families, _reader, _sources, _units
from ._request import check as _check, named as _request
from ._errors import DamagedDataError, _describe, _naming
from ._indexing import selections as _selections
from ._units import SPECTRAL

# The values of the coordinates of DataBlock.coords (see _families.COORDINATES): f(block, layout).
COORDINATE_VALUES = {
    SPECTRAL: lambda block, info: info.x,
    "y": lambda block, info: info.mapY,
    "x": lambda block, info: info.mapX,
    "trace": lambda block, info: np.arange(len(info.records)),
    "time": lambda block, info: block._times(),
    "point": lambda block, info: np.arange(block.shape[0]),
    "mapX": lambda block, info: info.pointX,
    "mapY": lambda block, info: info.pointY,
    "region": lambda block, info: np.repeat(np.asarray([g for g, *_ in info.regions], dtype=np.int64),
                                            [n for _, n, *_ in info.regions]),
}


class IxarFile(Mapping):
    """A read-only mapping from data sets, as listContents names them, to
    DataBlock objects; also a context manager (ixarkit.open makes one).

    A data set is named by a tuple of its three words or one string of them
    (``f["AB", "3D", "NONE"]``, ``f["ab 3d none"]``, ``"AB,3D,NONE" in f``),
    in any case, with NDER or 3DER for a derivative."""

    def __init__(self, source):
        source = _sources.url_openfile(source) or source
        self._given, self._opened = source, None
        if _sources.is_openfile(source):  # an fsspec OpenFile is a recipe for a file object
            self.name = source.fs.unstrip_protocol(source.path)
            self._describe = repr(self.name)
            self._opened = _sources.open_openfile(source)
            try:
                self._source = self._opening(_sources.open_source, self._opened)
            except BaseException:
                self._opened.close()
                raise
        else:
            self.name = source if isinstance(source, str) else getattr(source, "name", None)
            self._describe = _describe(source)
            self._source = self._opening(_sources.open_source, source)
        self._described = None
        try:
            self._keys = list(dict.fromkeys(self._opening(self._source.contents)))
        except BaseException:
            self.close()
            raise
        self._listed = {_request(k): k for k in reversed(self._keys)}  # request -> key, first listed wins
        self._blocks = {}

    def __getitem__(self, key):
        request = _request(key)
        listed = self._listed.get(request)
        if listed is None:
            missing = KeyError(f"no data set {' '.join(request) if request else repr(key)} in {self._describe}, "
                               f"which holds {', '.join(' '.join(k) for k in self._keys) or 'none'}")
            missing.failure, missing.key, missing.source = "no-data-set", key, self._describe
            raise missing
        block = self._blocks.get(listed)
        return block if block is not None else self._blocks.setdefault(listed, DataBlock(self, listed))

    def _opening(self, call, *args):
        """call(*args), its failures on a file it cannot read naming this source."""
        try:
            return call(*args)
        except Exception as e:
            named = _naming(e, self._describe)
            if named is None:
                raise
            raise named from e

    def __iter__(self):
        return iter(self._keys)

    def __len__(self):
        return len(self._keys)

    def __contains__(self, key):
        return _request(key) in self._listed

    @property
    def _description(self):
        """How a Dask task opens this source again (see _sources.describe), or None."""
        if self._described is None:
            try:
                size = self._source.size
            except ValueError:  # closed
                size = None
            self._described = _sources.describe(self._given, size)
        return self._described[0]

    def _reopen(self, what):
        """The description of the source, or TypeError saying why `what` cannot hold it."""
        description = self._description
        if description is None:
            raise TypeError(f"{what} cannot reopen {self._describe}, {self._described[1]}: open the file by "
                            "its path, as bytes, or as an fsspec OpenFile")
        return description

    def close(self):
        """Closes the source; reads in flight on other threads finish first."""
        self._source.close()
        if self._opened is not None:
            self._opened.close()

    @property
    def closed(self):
        return self._source.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        if self.closed:
            return f"<IxarFile {self._describe} (closed)>"
        lines = [f"<IxarFile {self._describe}: {len(self)} data set{'s' if len(self) != 1 else ''}"]
        for key in self._keys:
            try:
                block = self[key]
                lines.append(f"  {' '.join(key)}: {block.kind} {block.shape}")
            except Exception as e:  # a damaged data set still lists
                lines.append(f"  {' '.join(key)}: unreadable ({type(e).__name__})")
        return "\n".join(lines) + ">"


class _Reading:
    """DataBlock._reading's context (a class: a generator's costs a few
    microseconds, which a handle reading many small data sets feels)."""

    __slots__ = ("block",)

    def __init__(self, block):
        self.block = block

    def __enter__(self):
        return None

    def __exit__(self, kind, e, tb):
        if e is None or not isinstance(e, Exception) or self.block._file.closed:
            return False
        block = self.block
        if type(e) is ValueError:
            raise DamagedDataError(block.key, e, block._file._describe) from e
        named = _naming(e, block._file._describe, block.key)
        if named is None:
            return False
        raise named from e


class DataBlock:
    """One data set of an IxarFile. Nothing beyond the directory and the
    parameters is read until asked: read() gives what getIxarData gives,
    block[index] reads only what the index selects from the main array."""

    dtype = np.dtype(np.float32)

    def __init__(self, file, key):
        self._file = file
        self.key = key
        self._request = _request(key)
        self._kept = None  # the data set, planned once (_reader.Planned)
        self._layout = None
        self._labels = None

    # ---------------------------------------------------------------- metadata

    @property
    def _planned(self):
        # No lock around the planning: it may call a file object's methods, and a
        # lock held there would hang a reentrant read or a child forked meanwhile.
        # Threads that race here plan the same data set; the first one kept wins.
        if self._kept is None:
            with self._reading():
                planned = _reader.plan(self._file._source, _check(self._request))
            if self._kept is None:
                self._kept = planned
        return self._kept

    @property
    def _core(self):
        """The core's Layout of the data set, which reads go through."""
        return self._planned.layout

    @property
    def _info(self):
        if self._layout is None:
            planned = self._planned
            with self._reading():
                layout = planned.info()
            if self._layout is None:
                self._layout = layout
        return self._layout

    def _reading(self):
        """Failures of the reads inside, on a damaged file, naming the file and
        this data set: a DamagedDataError for the reader's ValueError, the
        same type for its other verdicts (see _naming)."""
        return _Reading(self)

    @property
    def kind(self):
        return self._info.family

    @property
    def parameters(self):
        return dict(self._info.parameters)

    @property
    def shape(self):
        return tuple(self._info.shape)

    @property
    def ndim(self):
        return len(self.shape)

    @property
    def size(self):
        return int(np.prod(self.shape, dtype=np.int64))

    @property
    def nbytes(self):
        return self.size * self.dtype.itemsize

    @property
    def _family(self):
        return _families.FAMILIES[self.kind]

    def _spectral(self):
        """The name of the spectral dim (whether the data set has one or not)."""
        return _families.spectral_name(self._family, _units.spectral_dim(self._info.parameters))

    @property
    def dims(self):
        return _families.dims(self._family, self._spectral())

    @property
    def coords(self):
        """1-D arrays per axis, and per point of multi-region maps."""
        info, spectral = self._info, self._spectral()
        return {spectral if name == SPECTRAL else name: COORDINATE_VALUES[name](self, info)
                for name in self._family.coords if _families.COORDINATES[name].handle}

    @property
    def labels(self):
        """Trace labels, or None for blocks of spectra."""
        if not self._family.traces:
            return None
        if self._labels is None:
            core = self._core
            with self._reading():
                self._labels = core.labels()
        return list(self._labels)

    def _times(self):
        """The z value of every record (time-resolved series, multi-region maps)."""
        core = self._core
        with self._reading():
            return core.times()

    def __repr__(self):
        if self._family.traces:  # x of traces is no axis of theirs: their labels say what they are
            try:
                names = self.labels
            except Exception:  # a repr tells what it can, even of a damaged file
                names = None
            shown = ", ".join(repr(n) for n in names[:4]) + (", ..." if len(names) > 4 else "") if names else ""
            span = f", traces {shown}" if shown else ""
        else:
            x = self._info.x
            unit = _units.x_axis(self._info.parameters, unknown=(None, None))[1]
            span = f", x {x[0]:g} to {x[-1]:g}{' ' + unit if unit else ''}" if len(x) else ""
        return f"<DataBlock {' '.join(self.key)}: {self.kind} {self.shape} float32{span}>"

    # ---------------------------------------------------------------- data

    def read(self):
        """Exactly what getIxarData returns for this data set."""
        planned = self._planned
        with self._reading():
            return planned.read()

    def __array__(self, dtype=None, copy=None):
        whole = self[...]
        return whole if dtype is None else whole.astype(dtype)

    def __getitem__(self, index):
        try:
            selections, compact, nothing = _selections(index, self.shape)
        except IndexError as e:
            # numpy before 2.1 lets out-of-bounds indexes pass, with a DeprecationWarning, where
            # the result holds no elements: ask the installed numpy, on an array of no memory
            empty = np.broadcast_to(np.zeros((), self.dtype), self.shape)[index]
            if empty.size:
                raise e
            return np.array(empty)
        if nothing:  # advanced indexes that select nothing: no read, numpy gives the empty result
            return np.broadcast_to(np.zeros((), self.dtype), tuple(map(len, selections)))[compact]
        self._core  # planned (its failures named) before the read's
        with self._reading():
            block = self._outer(selections)
        return block[compact]

    def read_direct(self, out, index=Ellipsis):
        """Reads ``block[index]`` into ``out``, memory of the caller's (as
        h5py's read_direct), and returns it: a writable float32 array of the
        result's shape. Where the index is slices alone and ``out`` is
        C-contiguous, the reader fills ``out`` itself with no array in
        between, so that pieces of one size reuse one buffer."""
        items = index if isinstance(index, tuple) else (index,)
        if (isinstance(out, np.ndarray) and out.dtype == self.dtype and out.flags.c_contiguous
                and out.flags.writeable and out.size and all(i is Ellipsis or isinstance(i, slice) for i in items)):
            selections = _selections(index, self.shape)[0]
            if out.shape == tuple(map(len, selections)):
                self._core  # planned (its failures named) before the read's
                with self._reading():
                    return self._outer(selections, out)
        out[...] = self[index]
        return out

    def band(self, lo, hi, how="integral", lazy=False):
        """Each spectrum integrated over the x values from lo to hi (x units,
        either order, both ends included), by the trapezoid rule, counted
        positive whichever way x runs; ``how="mean"`` gives the mean of the
        values in the band instead. A band of one x value gives that value.

        The result is float64, of the shape of the data set without its
        spectral axis: a map (y, x) of an image map, one value per spectrum
        of a time-resolved series, one per point of a multi-region map (the
        points of the first region of ``read().regions``, then the next
        region's, as ``coords["region"]`` numbers them), a number for a
        single spectrum. Trace data sets raise TypeError: a trace already is
        the value of a band. A band that holds no x value raises ValueError.

        Only the columns of the band are read (``block[..., i0:i1]``), a
        piece of about 32 MiB of values at a time, so any file fits in
        memory. ``lazy=True`` returns a dask.array instead (needs
        ``ixarkit[dask]``), read when computed, by tasks that open the file
        again as ``to_dask()``'s do; its values are the same, bit for bit."""
        from . import _band
        return _band.band(self, lo, hi, how, lazy)

    def to_dask(self, chunks="auto"):
        """The main array as a dask.array.Array (needs ``ixarkit[dask]``).

        The graph holds no open file: each task opens the source again from
        its path, fsspec OpenFile or bytes (a few files stay open per
        process) and reads its chunk as ``block[index]`` does, so it runs on
        the threaded scheduler and on dask.distributed worker processes alike.
        Default chunks hold whole records (a spectrum, or a trace map) and
        about 128 MiB each, in the order the records are stored; ``chunks``
        also takes what ``dask.array`` accepts (an int, a tuple, a dict,
        "auto" per axis, ...)."""
        from . import _dask
        return _dask.to_dask(self, chunks)

    def to_xarray(self, chunks=None):
        """The main array as an xarray.DataArray with named dims,
        coordinates with units, trace labels, per-point coordinates and the
        parameters as attributes (needs ``ixarkit[xarray]``). Read now,
        unless ``chunks`` is given: then backed by ``to_dask(chunks)``."""
        from . import _xarray
        return _xarray.to_xarray(self, chunks)

    def to_references(self, url=None):
        """The data set as a Zarr array whose chunks are byte ranges of the
        file itself (one record each), with its coordinates inlined, in the
        reference format (version 1) of fsspec's ``reference://`` file
        system: zarr, or xarray's zarr engine, read it without ixarkit and
        without copying the file, wherever ``url`` (default: the file's
        path) can be read, object storage included. Image cubes and
        time-resolved series; other data sets raise ValueError."""
        from . import _references
        return _references.references(self, url)

    def to_hyperspy(self, lazy=False):
        """The data set as a HyperSpy signal (needs ``ixarkit[hyperspy]``):
        spectra as a Signal1D over the map, series or points, trace maps as
        a Signal2D per trace, traces as a Signal1D per trace (series) or per
        point (multi-region maps); axes with names, units, offset and scale
        (values where they are not evenly spaced), trace labels and per-point
        coordinates in ``metadata.ixarkit``, parameters as the
        ``original_metadata``. Read now, unless ``lazy``: then a lazy signal
        over ``to_dask()``."""
        from . import _hyperspy
        return _hyperspy.to_hyperspy(self, lazy)

    def view(self, notebook_url="localhost:8888"):
        """Shows the file in the browser viewer, at this data set, in a
        Jupyter notebook (needs ``ixarkit[view]``); returns the Bokeh app."""
        from . import _view
        return _view.show(self, notebook_url)

    def _outer(self, sel, out=None):
        """The dense block of every combination of the per-axis selections,
        read by the core's selection planner (into ``out``, a C-contiguous
        float32 array of its shape, if given)."""
        return self._core.select(tuple(np.ascontiguousarray(s, dtype=np.int64) for s in sel), out)


def open(source):  # noqa: A001 - the package's open, as h5py and tifffile have
    """Opens an IXAR file once: a path, a binary file object, bytes, an
    fsspec OpenFile or a URL that fsspec opens (``s3://bucket/map.ixar``).
    Returns an IxarFile; use it as a context manager to close it.

        with ixarkit.open("map.ixar") as f:
            list(f)                          # the data sets, as listContents names them
            block = f["AB", "3D", "NONE"]    # or f["ab 3d none"]: a DataBlock, nothing read yet
            pixel = block[10, 20]            # reads one record
            band = block[:, :, 100:110]      # reads ten values of every record
            result = block.read()            # what getIxarData returns
    """
    return IxarFile(source)


# The handle API is documented where callers meet it: as members of ixarkit
# (repr, pickle and pydoc, which lists only what a module defines when it
# has no __all__, as ixarkit must not).
IxarFile.__module__ = DataBlock.__module__ = open.__module__ = "ixarkit"
