"""Sources: what the reader reads (open_source), and how a process can open
one again (a path, an fsspec OpenFile or the bytes): Dask graphs and pickled
xarray variables hold a Description of their source, never an open file
(see _dask.py)."""

import io
import os
import re
import stat
import threading
import time
import uuid

from . import _core

# Reads from a store that serves byte ranges by requests (object storage,
# HTTP): a request costs about what fetching GAP bytes does (latency times
# bandwidth: 10 ms at 100 MB/s), so bytes up to GAP past what a read needs
# are fetched with it rather than costing a request of their own. A read
# that starts far from anything fetched fetches at least FIRST bytes; each
# read that goes on past what is held fetches twice as much as the last
# fetch did, at least GAP and at most MOST; WINDOWS such runs (the tasks of
# threads reading one file) go on side by side.
GAP = 1 << 20
FIRST = 64 << 10
MOST = 16 << 20
WINDOWS = 4


def open_source(source):
    """The reader's Source of an ixarkit.open source: a path (opened here),
    bytes in memory (read in place), a file object with a regular file's
    descriptor (positioned reads on a duplicate of it), or any other binary
    file object (read through PositionedReader, whose reads of an fsspec
    file that fetches byte ranges are coalesced: see GAP)."""
    if isinstance(source, str) or hasattr(source, "__fspath__"):
        with io.FileIO(source, "rb") as f:
            return _core.Source(f.fileno())
    try:
        memoryview(source).release()
    except TypeError:
        pass
    else:
        return _core.Source(source)
    if not (hasattr(source, "read") and hasattr(source, "seek")):
        raise TypeError(f"expected a path, a binary file object or bytes, not {type(source).__name__}")
    try:
        fd = source.fileno()
    except (AttributeError, OSError, ValueError):  # io.UnsupportedOperation is both
        fd = None
    if isinstance(fd, int) and fd >= 0:
        try:
            regular = stat.S_ISREG(os.fstat(fd).st_mode)
        except OSError:
            regular = False
        if regular:
            return _core.Source(fd)
    reader = PositionedReader(source, windows=fetches_ranges(source))
    return _core.Source(reader, reader.size)


def fetches_ranges(obj):
    """An fsspec file that fetches byte ranges from a store (s3fs, gcsfs,
    HTTP and the like: fsspec's AbstractBufferedFile), where each read that
    its own cache cannot serve is a request. Recognised without importing
    fsspec."""
    return any(c.__name__ == "AbstractBufferedFile" and c.__module__.split(".")[0] == "fsspec"
               for c in type(obj).__mro__)


class PositionedReader:
    """reader(offset, n): up to n bytes of a file object at offset (seek,
    then readinto or read), fewer only at the end of the size it reported.

    The object fills buffers of this reader's own, never memory of the
    arrays read. One thread reads at a time; the claim is no lock (nothing
    is held across the object's methods or across fork(): a claim made in
    the parent of a forked child is void in the child), and a read asked
    for from within the object's own read raises instead of waiting.

    With windows, each read of the object fetches more than asked (see
    GAP) and the reader serves the reads that follow from what it fetched:
    the core asks for a selection's byte ranges one after the other, and
    ranges less than GAP apart then cost one request."""

    def __init__(self, obj, windows=False):
        self._obj = obj
        self._claim = {}
        self._windows = [] if windows else None  # [start, bytes, last fetch], most recently used last
        end = obj.seek(0, 2)
        if end is None:
            end = obj.tell()
        if not isinstance(end, int):
            raise OSError(f"the file object's seek() gave {end!r}, not a position")
        if end < 0:
            raise ValueError("the file object reports a negative size")
        self.size = end
        if end:
            self(end - 1, 1)  # the size is what the object holds

    def __call__(self, offset, n):
        me = (threading.get_ident(), os.getpid())
        wait = 1e-6
        while True:
            holder = self._claim.setdefault("reader", me)
            if holder is me:
                break
            if holder[1] != me[1]:  # taken in the parent process before a fork
                self._claim["reader"] = me
                break
            if holder[0] == me[0]:
                raise RuntimeError("the IXAR file is read again from within its own file object's read; a file "
                                   "object cannot serve a read that it is itself part of")
            time.sleep(wait)
            wait = min(2 * wait, 1e-3)
        try:
            return self._read(offset, n) if self._windows is None else self._windowed(offset, n)
        finally:
            if self._claim.get("reader") is me:
                del self._claim["reader"]

    def _windowed(self, offset, n):
        """Up to n bytes at offset, from the windows, fetching where they
        fall short: on from the window the read continues (one that starts
        in it or less than GAP past its end), else a new window."""
        n = min(n, self.size - offset)
        if n <= 0:
            return b""
        on = None
        for w in reversed(self._windows):
            start, held, _ = w
            if start <= offset and offset + n <= start + len(held):
                self._windows.remove(w)
                self._windows.append(w)
                return memoryview(held)[offset - start:offset + n - start]
            if start <= offset <= start + len(held) + GAP and (on is None or start + len(held) > on[0] + len(on[1])):
                on = w
        if on is None:
            first, kept, fetch = offset, b"", max(n, FIRST)
        else:
            self._windows.remove(on)
            start, held, last = on
            first = max(offset, start + len(held))
            kept = memoryview(held)[offset - start:] if offset < first else b""
            fetch = max(offset + n - first, min(MOST, max(GAP, 2 * last)))
        got = self._read(first, min(fetch, self.size - first))
        self._windows.append([first, got, len(got)])
        del self._windows[:-WINDOWS]
        need = offset + n - first
        return bytes(kept) + got[:need] if len(kept) else memoryview(got)[:need]

    def _read(self, offset, n):
        obj = self._obj
        obj.seek(offset)
        out = bytearray(n)
        done = 0
        readinto = getattr(obj, "readinto", None)
        while done < n:
            if readinto is not None:  # into this reader's own buffer, handed on as a copy
                got = _count("readinto", readinto(memoryview(out)[done:]), n - done)
            else:
                chunk = obj.read(n - done)
                if chunk is None:
                    _count("read", None, n - done)
                got = _count("read", len(memoryview(chunk)), n - done)
                out[done:done + got] = memoryview(chunk)[:got]
            if not got:
                break
            done += got
        if done < n and offset < self.size and done < self.size - offset:
            raise OSError(f"the file object reported {self.size} bytes, but a read of {n} bytes at offset {offset} "
                          f"gave {done}")
        return out if done == n else out[:done]


def _count(method, got, want):
    """The byte count a file object's read gave, or the error it is."""
    if got is None:
        raise BlockingIOError(f"the file object's {method}() returned None: it has no data available now (a "
                              "non-blocking stream?), and an IXAR file must be readable at any offset")
    if not isinstance(got, int) or isinstance(got, bool) or not 0 <= got <= want:
        raise OSError(f"the file object's {method}() gave {got!r} bytes when asked for {want}")
    return got


def is_openfile(source):
    """An fsspec OpenFile (recognised without importing fsspec)."""
    return (type(source).__module__.split(".")[0] == "fsspec" and callable(getattr(source, "open", None))
            and hasattr(source, "fs") and hasattr(source, "path"))


def open_openfile(openfile):
    """The file object of an fsspec OpenFile, opened for reading with its
    own read cache off (cache_type="none"), so that each read of it fetches
    what PositionedReader asks for and no more (s3fs's default cache would
    fetch 50 MiB on from every read it cannot serve). A file system whose
    open takes no cache_type, and a compressed or text OpenFile, open as
    OpenFile.open() does."""
    if getattr(openfile, "compression", None) is None and getattr(openfile, "mode", None) == "rb":
        try:
            return openfile.fs.open(openfile.path, mode="rb", cache_type="none")
        except TypeError:
            pass
    return openfile.open()


def url_openfile(source):
    """An fsspec OpenFile of a URL (``s3://bucket/map.ixar``) whose protocol
    fsspec knows, with the options fsspec's configuration gives that
    protocol; None for anything else (a path, or fsspec not installed)."""
    if not isinstance(source, str) or not re.match(r"[A-Za-z][A-Za-z0-9+.-]+(::[A-Za-z][A-Za-z0-9+.-]+)*://", source):
        return None
    try:
        import fsspec
    except ImportError:
        return None
    if source.split("::", 1)[0].split("://", 1)[0] not in fsspec.available_protocols():
        return None
    return fsspec.open(source, "rb")


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
