"""Damaged and hostile files: clean exceptions, no leaks of memory or descriptors; threads."""

import errno
import gc
import io
import os
import struct
import subprocess
import sys
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB2, AB3, TRC, fails, open_descriptors, same, same_result

BIG = 2**31 - 1
ROWS = w.region_rows(0, [(0, 0), (1, 1)], 0)


def regions(**table_overrides):
    return w.multi_region(np.ones((2, 3)), ROWS, 1.0, 2.0, anno=[w.anno_table(w.REGION_COLUMNS, ROWS, **table_overrides)])


def spectrum(f=None, **kw):
    return w.single_spectrum(np.arange(8, dtype=np.float32), 1, 2, f=f, **kw)


def plus(f, method, *args):
    getattr(f, method)(*args)
    return f.tobytes()


GOOD, IMAGE = spectrum().tobytes(), w.image_map(np.ones((2, 2, 3)), 1, 2).tobytes()


PATHS = [  # a file (None: none there), a request, what getIxarData raises and its `failure`
    (lambda: GOOD, AB2, None, None), (lambda: GOOD[:-5], AB2, ValueError, "damaged"),
    (lambda: b"\0\0\0\0" + GOOD[4:], AB2, ValueError, "not-ixar"), (lambda: GOOD[:3], AB2, struct.error, None),
    (lambda: GOOD, ("TR", "2D", "NONE"), ValueError, "no-data-set"), (lambda: GOOD, ("AB", "5D", "NONE"), ValueError, "request"),
    (lambda: GOOD, ("XX", "2D", "NONE"), ValueError, "request"), (lambda: None, AB2, FileNotFoundError, None),
    (lambda: spectrum(params=[w.rec_raw("NPT", 7, 2, b"\0" * 4)]).tobytes(), AB2, ValueError, None),
    (lambda: spectrum(extra_params=[w.rec_text("SNM", b"\xe9t\xe9")]).tobytes(), AB2, UnicodeDecodeError, "damaged"),
    (lambda: spectrum(npt=BIG).tobytes(), AB2, ValueError, None),
    (lambda: spectrum(params=[("FXV", 1.0)]).tobytes(), AB2, KeyError, "damaged"),
    (lambda: plus(spectrum(), "add", w.block_type(param=w.P_ACQUISITION), w.param_block({"AAA": 1}, end=False)), AB2,
     ValueError, None),
    (lambda: plus(spectrum(), "add_entry", w.block_type(data=w.D_AB), 4, -8), AB2, OSError, "damaged"),
    (lambda: IMAGE, AB3, None, None), (lambda: IMAGE[:-200], AB3, ValueError, None),
    (lambda: regions().tobytes(), AB3, None, None), (lambda: regions(nln=50).tobytes(), AB3, ValueError, None)]


@pytest.mark.parametrize("make,request_,exc,failure", PATHS)
def test_every_path_keeps_memory_and_descriptors_flat(tmp_path, monkeypatch, make, request_, exc, failure):
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)
    path = tmp_path / "f.ixar"
    if (data := make()) is not None:
        path.write_bytes(data)
    gc.collect()  # descriptors of files earlier tests left to the collector
    path, before_fds = str(path), open_descriptors()
    if exc:
        pytest.raises(exc, ixarkit.getIxarData, path, request_)
    tracemalloc.start()
    try:
        for rounds in (1000, 3000):  # the first round fills caches and free lists
            gc.collect()
            base = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):  # (pytest.raises keeps memory of its own on some interpreters)
                try:
                    ixarkit.getIxarData(path, request_)
                    exc is None and ixarkit.listContents(path)
                except exc or ():
                    pass
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # Every Python object takes at least 16 bytes: a leak of one per call would keep 48 kB here.
    assert grown < 24 * 1024 and open_descriptors() == before_fds, grown


def test_same_file_from_many_threads(tmp_path):
    cube = np.random.default_rng(1).random((16, 16, 300), dtype=np.float32)
    path = w.image_map(cube, 1.0, 2.0).write(tmp_path / "img.ixar")
    with ThreadPoolExecutor(max_workers=6) as pool:
        for spectra in pool.map(lambda _: ixarkit.getIxarData(path, AB3).spectra, range(120)):
            same(spectra, cube)


# ------------------------------------------- layouts that read far or overlap

def series(**kw):
    return w.time_resolved(np.ones((2, 4)), [0, 1], 1, 2, **kw)


def no_traces_before_the_file():
    return w.image_trc_map(np.ones((2, 2, 0)), [], block_kw={"block_offset": -10**6})


def single_before_the_file():
    f = w.single_spectrum([1.0, 2.0, 3.0], 1.0, 3.0)
    f.entries[-1][2] = -64   # the data block's offset
    return f


@pytest.mark.parametrize("make,exc", [
    (no_traces_before_the_file, OSError),        # a record area before the file fails as a seek there does
    (lambda: w.image_map(np.ones((2, 2, 3)), 1, 2, block_kw={"block_offset": -10**6}), OSError),
    (single_before_the_file, OSError),
    (lambda: series(block_kw={"block_size": 0}), ValueError),     # records that would lie inside one another
    (lambda: series(block_kw={"block_size": 15}), ValueError),
    (lambda: w.multi_region(np.ones((2, 3)), ROWS, 1.0, 2.0, block_kw={"block_size": 11}), ValueError),
    (lambda: w.multi_region(np.ones((2, 3)), [(0, 0, -1, 1, 0, 0, 0.0, 0.0, "")], 1.0, 2.0), ValueError),  # -1 x 1 points
    (lambda: regions(extra=[("F08", -4)]), ValueError),                   # text fields wider than their rows
    (lambda: regions(nco=10, extra=[("S09", 5), ("F09", 0)]), KeyError),  # a number as a column name; no T09
])
def test_layouts_rejected(tmp_path, make, exc):
    req = {no_traces_before_the_file: TRC, single_before_the_file: AB2}.get(make, AB3)
    e = fails(exc, path := make().write(tmp_path / "f.ixar"), req)
    assert e.errno == errno.EINVAL if exc is OSError else exc is not KeyError or e.args == ("T09",)
    with ixarkit.open(path) as f:  # the handle reads none of it as zeros either
        for read in (f[req].read, lambda: f[req][..., :1]):
            pytest.raises(exc, read)


@pytest.mark.parametrize("kw", [dict(extra=[("F00", 1.5), ("F05", "x")]),   # offsets of number columns: unused
                                dict(extra=[("S08", 7)])])                   # the text column named by a number
def test_layouts_accepted(tmp_path, kw):
    same_result(ixarkit.getIxarData(regions(**kw).write(tmp_path / "b.ixar"), AB3),
                ixarkit.getIxarData(regions().write(tmp_path / "a.ixar"), AB3))


def test_regions_larger_than_memory(tmp_path, capsys):   # a few rows can claim more points than any memory holds
    rows = [(g, 0, 100_000, 100_000, 0, 0, 0.0, 0.0, "") for g in range(3)]
    path = w.multi_region(np.ones((1, 3)), rows, 1.0, 2.0).write(tmp_path / "f.ixar")
    # numpy's own words for the allocation that fails, from getIxarData; the file's claim from our API
    assert str(fails(MemoryError, path)) == ("Unable to allocate 74.5 GiB for an array with shape (10000000000,) "
                                             "and data type float64")
    claim = ("AB 3D NONE in '.*f.ixar': a region of AryNX x AryNY = 100000 x 100000 claims 10000000000 points, "
             "and the file's annotation table holds 3 rows for them$")
    with ixarkit.open(path) as f, pytest.raises(ValueError, match=claim):
        f[AB3].read()
    from ixarkit._cli import main
    assert main([path, "--export", *AB3, "-o", str(tmp_path / "x.npz")]) == 1
    assert capsys.readouterr().err.strip().endswith(claim.split(": ", 1)[1].replace("$", ""))


@pytest.mark.parametrize("damage", ["time cut", "spectrum cut"])
@pytest.mark.parametrize("source", ["path", "file object"])
def test_reads_past_the_end_raise_naming_the_data_set_and_the_byte(tmp_path, damage, source):
    from test_cli import damaged
    path = damaged(tmp_path, damage)
    calls = [lambda b: b.read()] + ([lambda b: b.coords] if damage == "time cut" else
                                    [lambda b: b[...], lambda b: b[0, 2, 1:]])
    with ixarkit.open(path if source == "path" else io.BytesIO(open(path, "rb").read())) as f:
        for call in calls:
            with pytest.raises(ValueError, match=r"^AB 3D NONE in (<BytesIO>|'.*d\.ixar'): .*\d") as e:
                call(f[AB3])
            assert e.value.key == AB3 and "offset" in str(e.value) and e.value.failure == "damaged"



@pytest.mark.parametrize("make,request_,exc,failure", [p for p in PATHS if p[3]])
def test_failures_are_tagged_by_kind(tmp_path, make, request_, exc, failure):
    # The exceptions stay what they are; their `failure` tells the kinds apart without reading the message.
    (path := tmp_path / "f.ixar").write_bytes(make())
    e = pytest.raises(exc, ixarkit.getIxarData, str(path), request_)
    assert type(e.value) is exc and e.value.failure == failure
    if failure == "not-ixar":
        assert pytest.raises(ValueError, ixarkit.listContents, str(path)).value.failure == failure
    # Through a handle: the same type and failure, and the message names the file and the data set.
    for source, name in [(str(path), repr(str(path))), (open(path, "rb"), f"<BufferedReader {str(path)!r}>"),
                         (io.BytesIO(path.read_bytes()), "<BytesIO>")]:
        with pytest.raises(KeyError if failure in ("request", "no-data-set") else exc) as e, ixarkit.open(source) as f:
            f[request_].read()
        assert e.value.failure == ("no-data-set" if failure == "request" else failure), e.value
        message = e.value.args[0] if isinstance(e.value, KeyError) else str(e.value)
        assert name in message and (failure == "not-ixar" or " ".join(request_) in message), e.value
        if hasattr(source, "close"):
            source.close()


@pytest.mark.skipif(sys.platform != "linux" or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="needs Linux's address-space limit, which AddressSanitizer's shadow memory exceeds")
def test_allocation_failure_in_a_handle_read_is_a_memory_error(tmp_path):
    # The reader copies the indexes of a selection: where the address space cannot hold the copy,
    # a MemoryError, not the end of the process.
    (script := tmp_path / "oom.py").write_text(f"""
import resource, numpy as np, ixarkit
f = ixarkit.open({os.path.join(os.path.dirname(__file__), "..", "examples", "data", "image.ixar")!r})
b = f["AB", "3D", "NONE"]
indexes = (np.zeros(1, np.int64), np.zeros(1, np.int64), np.zeros(50_000_000, np.int64))
limit = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize() + (64 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    b._core.select(indexes)
except MemoryError:
    print("MemoryError")
""")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert (proc.returncode, proc.stdout.strip()) == (0, "MemoryError"), proc.stderr

