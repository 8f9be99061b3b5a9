"""Sources as a process can open them again: a path, an fsspec OpenFile or
the bytes. Dask graphs and pickled xarray variables hold a Description of
their source, never an open file (see _dask.py)."""

import os
import uuid


def is_openfile(source):
    """An fsspec OpenFile (recognised without importing fsspec)."""
    return (type(source).__module__.split(".")[0] == "fsspec" and callable(getattr(source, "open", None))
            and hasattr(source, "fs") and hasattr(source, "path"))


class Description:
    """What a process needs to open a source again: a path, an fsspec
    OpenFile or the bytes. Picklable; ``key`` identifies it in the cache."""

    __slots__ = ("kind", "value", "token")

    def __init__(self, kind, value, token=None):
        self.kind, self.value = kind, value
        self.token = token or uuid.uuid4().hex

    def __reduce__(self):
        return Description, (self.kind, self.value, self.token)

    def key(self):
        if self.kind == "path":
            st = os.stat(self.value)  # a file rewritten since is opened anew
            return ("path", self.value, st.st_mtime_ns, st.st_size)
        return (self.kind, self.token)

    def __repr__(self):
        what = repr(self.value) if self.kind == "path" else (
            f"{len(self.value)} bytes" if self.kind == "bytes" else f"{self.value!r}")
        return f"<source {what}>"


def describe(source, size=None):
    """(the Description of an ixarkit.open source, None), or (None, why a
    task could not be sure to open that source again). A file object is
    reopened by its name only when the name provably is its file: the same
    file as its descriptor, or else an absolute path to a file of the size
    read (``size``). A name that is not such a path (the name of a member of
    an archive, a path relative to some folder) could open another file."""
    if isinstance(source, str) or hasattr(source, "__fspath__"):
        return Description("path", os.path.abspath(os.fspath(source))), None
    if is_openfile(source):
        return Description("fsspec", source), None
    if isinstance(source, bytes):
        return Description("bytes", source), None
    if isinstance(source, (bytearray, memoryview)) or type(source).__name__ == "mmap":
        return Description("bytes", bytes(source)), None  # a snapshot: the graph must not change under it
    name = getattr(source, "name", None)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if not isinstance(name, str) or not name:
        return None, "a file object without a path"
    try:
        st = os.stat(name)
    except (OSError, ValueError):
        return None, f"a file object whose name {name!r} is no file here"
    try:
        own = os.fstat(source.fileno())
    except Exception:  # no descriptor (a member of an archive, a stream)
        own = None
    if own is not None and (own.st_dev, own.st_ino) == (st.st_dev, st.st_ino):
        return Description("path", os.path.abspath(name)), None
    if own is not None or not os.path.isabs(name):
        return None, (f"a file object named {name!r}, which is not provably the file it reads (a relative name "
                      "or a member of an archive may name another file)")
    if not os.path.isfile(name) or size is None or st.st_size != size:
        return None, (f"a file object named {name!r}, a file of {st.st_size} bytes where the source holds "
                      f"{size if size is not None else 'an unknown number of'} bytes")
    return Description("path", name), None
