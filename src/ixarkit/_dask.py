"""DataBlock.to_dask: a Dask array whose tasks reopen the file themselves.

The graph holds a small picklable description of the source (a path, an
fsspec OpenFile, or the bytes), never an open file. Each process keeps the
few files its tasks opened last in a cache, so the tasks of one worker share
one handle; a task reads its chunk with the partial-read path
(``DataBlock.__getitem__``) into a fresh array.
"""

import collections
import os
import threading

import numpy as np

from . import _families
from ._handle import IxarFile
from ._optional import need

# Default chunks aim at this many bytes.
CHUNK_BYTES = _families.CHUNK_BYTES
# Open files a process keeps for its tasks.
CACHE_SIZE = 4


class _Cache:
    """The few files this process's tasks opened last, by description.
    A file leaves the cache when newer ones push it out, and is closed then,
    or when the last task that was using it is done."""

    def __init__(self, size):
        self.size = size
        self.lock = threading.Lock()
        self.files = collections.OrderedDict()  # key -> [file, users]
        self.leaving = {}  # id(file) -> [file, users] of files pushed out while in use

    def acquire(self, description):
        key = description.key()
        with self.lock:
            entry = self.files.get(key)
            if entry is not None:
                self.files.move_to_end(key)
                entry[1] += 1
                return key, entry[0]
        opened = IxarFile(description.value)  # outside the lock: opening may be slow (remote files)
        with self.lock:
            entry = self.files.get(key)
            if entry is None:
                entry = self.files[key] = [opened, 0]
                opened = None
                while len(self.files) > self.size:
                    _, old = self.files.popitem(last=False)
                    if old[1]:
                        self.leaving[id(old[0])] = old
                    else:
                        old[0].close()
            entry[1] += 1
        if opened is not None:  # another thread opened it meanwhile
            opened.close()
        return key, entry[0]

    def release(self, key, file):
        with self.lock:
            entry = self.files.get(key)
            if entry is not None and entry[0] is file:
                entry[1] -= 1
                return
            entry = self.leaving.get(id(file))
            if entry is not None:
                entry[1] -= 1
                if not entry[1]:
                    del self.leaving[id(file)]
                    file.close()

    def clear(self):
        with self.lock:
            entries = list(self.files.values())
            self.files.clear()
        for f, users in entries:
            if not users:
                f.close()

    def after_fork(self):  # the child starts empty; the parent's files stay the parent's
        self.lock = threading.Lock()
        self.files = collections.OrderedDict()
        self.leaving = {}


FILES = _Cache(CACHE_SIZE)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=FILES.after_fork)


class BlockReader:
    """A picklable array-like over one data set of a described source: what
    the graph holds. Each __getitem__ borrows the file from the process cache."""

    def __init__(self, description, key, shape):
        self.description, self.key = description, tuple(key)
        self.shape, self.dtype, self.ndim = tuple(shape), np.dtype(np.float32), len(shape)

    def __getitem__(self, index):
        cache_key, f = FILES.acquire(self.description)
        try:
            return f[self.key][index]
        finally:
            FILES.release(cache_key, f)

    def __repr__(self):
        return f"<BlockReader {' '.join(self.key)} of {self.description!r}>"


def default_chunks(block):
    """Chunk sizes per axis: the values of a record whole, the records in
    their row order, about CHUNK_BYTES a chunk."""
    from dask.array.core import normalize_chunks
    shape = block.shape
    itemsize = block.dtype.itemsize
    record_axes = block._family.record_axes  # along which records follow each other; the others are within one
    per_axis = [-1] * len(shape)
    record_bytes = itemsize * int(np.prod([n for k, n in enumerate(shape) if k not in record_axes], dtype=np.int64))
    if record_bytes > CHUNK_BYTES or not record_axes:  # records larger than a chunk: split them too
        per_axis = ["auto"] * len(shape)
    elif len(record_axes) == 2:  # records on a grid: whole rows of it
        per_axis[record_axes[0]] = "auto"
        if record_bytes * shape[record_axes[1]] > CHUNK_BYTES:  # a row is larger than a chunk: parts of rows
            per_axis[record_axes[0]], per_axis[record_axes[1]] = 1, max(1, CHUNK_BYTES // record_bytes)
    else:
        for a in record_axes:
            per_axis[a] = "auto"
    chunks = list(normalize_chunks(tuple(per_axis), shape, limit=CHUNK_BYTES, dtype=block.dtype))
    first = record_axes[0] if record_axes else None
    if first is not None and len(chunks[first]) > 1 and all(len(chunks[a]) == 1 for a in record_axes[1:]):
        # whole rows of records a chunk: end chunks where the stored runs of records end
        records = block._info.records
        per = len(records) // shape[first] if shape[first] else 1
        starts = records[::per]
        if len(records) > 1 and len(starts) == shape[first]:
            steps = np.diff(records)
            stride = np.median(steps)
            breaks = np.flatnonzero(records[per::per] != records[per - 1:-1:per] + stride) + 1
            chunks[first] = _follow_runs(shape[first], chunks[first][0], breaks)
    return tuple(chunks)


def _follow_runs(n, size, breaks):
    """Chunks of at most `size` along n items, ending at a break (the start of
    a run) when one lies in the second half of a chunk."""
    out, pos = [], 0
    while pos < n:
        end = min(pos + size, n)
        if end < n:
            inside = breaks[(breaks > pos + size // 2) & (breaks < end)]
            if len(inside):
                end = int(inside[-1])
        out.append(end - pos)
        pos = end
    return tuple(out)


def to_dask(block, chunks="auto", name=None):
    da = need("dask.array", "dask", "DataBlock.to_dask")
    from dask.base import tokenize
    description = block._file._reopen("a Dask graph")
    shape = block.shape
    if isinstance(chunks, str) and chunks == "auto":
        chunks = default_chunks(block)
    else:
        chunks = da.core.normalize_chunks(chunks, shape, limit=CHUNK_BYTES, dtype=block.dtype)
    reader = BlockReader(description, block.key, shape)
    if name is None:
        name = "ixarkit-" + tokenize(description.key(), block.key, chunks)
    return da.from_array(reader, chunks=chunks, name=name, lock=False, asarray=True, fancy=False,
                         meta=np.empty((0,) * len(shape), dtype=block.dtype))
