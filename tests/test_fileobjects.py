"""File objects as sources are hostile input too: whatever their methods do
(keep the buffer they are given, raise, lie about their size, read the same
file again, block), the reader's memory stays its own, their exceptions
reach the caller unchanged, and nothing hangs."""

import io
import os
import signal
import threading

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB3, same

CUBE = np.random.default_rng(4).random((3, 4, 50)).astype(np.float32)
DATA = w.image_map(CUBE, 1.0, 2.0).tobytes()


class Source(io.RawIOBase):
    """Bytes behind seek and readinto (at most `most` a call), with a hook on every readinto."""

    def __init__(self, data=DATA, size=None, hook=None, most=None):
        self.data, self.pos, self.hook, self.most = data, 0, hook, most
        self.size = len(data) if size is None else size

    readable = seekable = lambda self: True  # noqa: E731

    def seek(self, pos, whence=0):
        self.pos = pos if whence == 0 else self.size + pos
        return self.pos

    def readinto(self, buffer):
        if self.hook and (got := self.hook(self, buffer)) is not NotImplemented:
            return got
        chunk = self.data[self.pos:self.pos + min(len(buffer), self.most or len(buffer))]
        buffer[:len(chunk)] = chunk
        self.pos += len(chunk)
        return len(chunk)


def test_kept_buffers_never_reach_the_results():
    kept = []

    def keep(src, buffer):
        kept.append(buffer)
        return NotImplemented

    with ixarkit.open(Source(hook=keep, most=1000)) as f:  # short reads too: the reader asks again
        block = f[AB3]
        pixel, whole = block[1, 2], block.read().spectra
        for buffer in kept:  # written to long after the reads returned
            memoryview(buffer).cast("B")[:] = b"\xff" * len(buffer)
        same(pixel, CUBE[1, 2], whole, CUBE, block[...], CUBE)


class Stop(Exception):
    pass


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), Stop("no"), OSError(5, "I/O error")])
@pytest.mark.parametrize("when", ["open", "read"])
def test_exceptions_pass_through_unchanged(exc, when):
    calls = []

    def fail(src, buffer):
        calls.append(src.pos)
        if when == "open" or len(calls) > 3:
            raise exc
        return NotImplemented

    def use():
        with ixarkit.open(Source(hook=fail)) as f:
            f[AB3].read()

    e = pytest.raises(type(exc), use)
    assert e.value is exc and e.traceback[-1].name == "fail"


def gap(src, buffer):   # bytes missing inside the reported size
    return 0 if src.pos <= 2100 < src.pos + len(buffer) else NotImplemented


@pytest.mark.parametrize("kw,exc,words", [
    (dict(hook=lambda src, buffer: None), BlockingIOError, "None"),
    (dict(hook=lambda src, buffer: len(buffer) + 1), OSError, "asked for"),
    (dict(hook=lambda src, buffer: -1), OSError, "asked for"), (dict(hook=lambda src, buffer: "many"), OSError, "asked for"),
    (dict(size=len(DATA) * 1000), OSError, f"reported {len(DATA) * 1000} bytes"),   # a size the object does not hold
    (dict(size=2**62), OSError, f"reported {2**62} bytes"), (dict(hook=gap), OSError, "gave")])
def test_answers_a_reader_cannot_use(kw, exc, words):
    with pytest.raises(exc, match=words), ixarkit.open(Source(**kw)) as f:
        assert kw.get("hook") is gap   # the others fail the open itself
        f[AB3].read()


def test_a_read_from_within_a_read_raises_instead_of_hanging():
    state = {}

    def again(src, buffer):
        if "f" in state and not state.get("inside"):
            state["inside"] = True
            state["f"][AB3][0, 0]
        return NotImplemented

    with ixarkit.open(Source(hook=again)) as f:
        state["f"] = f
        pytest.raises(RuntimeError, f[AB3].read).match("within its own file object")
        state.clear()
        same(f[AB3][2, 3], CUBE[2, 3])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_reads():
    inside, leave = threading.Event(), threading.Event()
    leave.set()

    def slow(src, buffer):
        if not leave.is_set():
            inside.set()
            leave.wait(10)
        return NotImplemented

    with ixarkit.open(Source(hook=slow)) as f:
        block = f[AB3]
        _ = block.shape
        leave.clear()
        (reader := threading.Thread(target=lambda: block[0, 0])).start()
        assert inside.wait(10)
        pid = os.fork()
        if pid == 0:  # the child: the parent's reader is not here, and its claim is void (a hang: the alarm ends it)
            signal.alarm(10)
            leave.set()
            os._exit(0 if np.array_equal(block[2, 1], CUBE[2, 1]) else 1)
        leave.set()
        reader.join()
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, "the forked child failed or hung on its first read"

