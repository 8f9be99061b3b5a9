"""Damaged and hostile files: prompt, clean exceptions; no leaks of memory
or descriptors on any path; a file cut short while it is read."""

import errno
import gc
import os
import struct
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import fails

BIG = 2**31 - 1
AB2 = ("AB", "2D", "NONE")
AB3 = ("AB", "3D", "NONE")


def fds():
    return sorted(os.listdir("/proc/self/fd"))


ROWS = w.region_rows(0, [(0, 0), (1, 1)], 0)


def region_file(**table_overrides):
    table = w.anno_table(w.REGION_COLUMNS, ROWS, **table_overrides)
    return w.multi_region(np.ones((2, 3)), ROWS, 1.0, 2.0, anno=[table])


def series(**kw):
    return w.time_resolved(np.ones((2, 4)), [0, 1], 1, 2, **kw)


# Each case: a file claiming a count of about two billion, the request, and
# the outcome (a result class, an exception, or None: any outcome will do, as
# long as it comes at once, for a walk that reads what follows the directory).
CORRUPT_COUNTS = {
    "directory entries": (lambda: w.single_spectrum(np.ones(4), 1, 2, f=w.IxarFile(number_dir_entries=BIG)),
                          AB2, None),
    "extended entries": (lambda: w.single_spectrum(np.ones(4), 1, 2, f=w.IxarFile(number_ext_entries=2**62)),
                         AB2, ixarkit.SingleDataReturn),
    "store-table entries": (lambda: series(block_kw={"number_entries": BIG}), AB3, ValueError),
    "spectra of one run": (lambda: series(store_table=[[0, BIG - 1]]), AB3, ValueError),
    "annotation rows": (lambda: region_file(nln=BIG), AB3, ValueError),
    "annotation columns": (lambda: region_file(nco=BIG), AB3, KeyError),
    "annotation tables": (lambda: w.multi_region(np.ones((2, 3)), ROWS, 1, 2, anno=w.anno_block(
        [w.anno_table(w.REGION_COLUMNS, ROWS)], nrp=BIG)), AB3, KeyError),
}


@pytest.mark.parametrize("case", list(CORRUPT_COUNTS))
def test_corrupt_counts_are_prompt(tmp_path, case, monkeypatch):
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)
    make, request, outcome = CORRUPT_COUNTS[case]
    path = make().write(tmp_path / "f.ixar")
    start = time.perf_counter()
    ixarkit.listContents(path)
    try:
        result = ixarkit.getIxarData(path, request)
    except Exception as e:
        result = e
    assert outcome is None or isinstance(result, outcome)
    assert time.perf_counter() - start < 1.0


def damaged_files(tmp_path):
    """(name, path, request, exception or None) for every kind of damage."""
    y = np.arange(8, dtype=np.float32)

    def spectrum(**kw):
        return w.single_spectrum_file(None, y, 1, 2, **kw)

    good, unterminated, negative = spectrum(), w.single_spectrum(y, 1, 2), w.single_spectrum(y, 1, 2)
    unterminated.add(w.block_type(param=w.P_ACQUISITION), w.param_block({"AAA": 1}, end=False))
    negative.add_entry(w.block_type(data=w.D_AB), 4, -8)
    cases = [
        ("good", good, AB2, None),
        ("truncated", good[:-5], AB2, ValueError),
        ("signature", b"\0\0\0\0" + good[4:], AB2, ValueError),
        ("tiny", good[:3], AB2, struct.error),
        ("no data set", good, ("TR", "2D", "NONE"), ValueError),
        ("bad request", good, ("AB", "5D", "NONE"), ValueError),
        ("unknown type", spectrum(params=[w.rec_raw("NPT", 7, 2, b"\0" * 4)]), AB2, ValueError),
        ("non-ascii", spectrum(extra_params=[w.rec_text("SNM", b"\xe9t\xe9")]), AB2, UnicodeDecodeError),
        ("huge NPT", spectrum(npt=BIG), AB2, ValueError),
        ("missing NPT", spectrum(params=[("FXV", 1.0)]), AB2, KeyError),
        ("unterminated", unterminated.tobytes(), AB2, ValueError),
        ("negative offset", negative.tobytes(), AB2, OSError),
        ("image", w.image_map(np.ones((2, 2, 3)), 1, 2).tobytes(), AB3, None),
        ("image cut", w.image_map(np.ones((2, 2, 3)), 1, 2).tobytes()[:-200], AB3, ValueError),
        ("regions", region_file().tobytes(), AB3, None),
        ("rows past end", region_file(nln=50).tobytes(), AB3, ValueError),
    ]
    for name, data, request, exc in cases:
        (tmp_path / name).write_bytes(data)
    return [(n, str(tmp_path / n), r, e) for n, _, r, e in cases] + [
        ("missing", str(tmp_path / "absent.ixar"), AB2, FileNotFoundError)]


def call(path, request, exc):
    if exc is None:
        return ixarkit.getIxarData(path, request)
    try:
        ixarkit.getIxarData(path, request)
    except exc:
        return None
    raise AssertionError(f"{exc.__name__} expected")


def test_every_path_keeps_memory_and_descriptors_flat(tmp_path, monkeypatch):
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)
    cases = damaged_files(tmp_path)
    for name, path, request, exc in cases:
        before_fds = fds()
        tracemalloc.start()
        try:
            for rounds in (1000, 3000):  # the first round fills caches and free lists
                gc.collect()
                base = tracemalloc.get_traced_memory()[0]
                for _ in range(rounds):
                    call(path, request, exc)
                    if exc is None:
                        ixarkit.listContents(path)
                gc.collect()
                grown = tracemalloc.get_traced_memory()[0] - base
        finally:
            tracemalloc.stop()
        # Every Python object takes at least 16 bytes: a leak of one per call
        # would keep 48 kB here.
        assert grown < 24 * 1024, f"{name}: {grown} bytes kept after 3000 calls"
        assert fds() == before_fds, name


def test_file_cut_short_while_read(tmp_path):
    # One thread reads a large image while another truncates the file: the
    # reader gives the whole image or a clean exception, never a crash.
    npy, npx, npt = 64, 64, 1700
    cube = np.random.default_rng(0).random((npy, npx, npt), dtype=np.float32)
    data = w.image_map(cube, 1.0, 2.0).tobytes()
    path = tmp_path / "img.ixar"
    outcomes = set()
    for delay in (0.0, 0.001, 0.003, 0.01):
        path.write_bytes(data)
        cut = threading.Timer(delay, lambda: os.truncate(path, len(data) // 3))
        cut.start()
        try:
            r = ixarkit.getIxarData(str(path), AB3)
            assert np.array_equal(r.spectra, cube)
            outcomes.add("whole")
        except (ValueError, OSError) as e:
            assert "offset" in str(e) or isinstance(e, OSError)
            outcomes.add("error")
        finally:
            cut.join()
    assert outcomes


def test_same_file_from_many_threads(tmp_path):
    cube = np.random.default_rng(1).random((16, 16, 300), dtype=np.float32)
    path = w.image_map(cube, 1.0, 2.0).write(tmp_path / "img.ixar")
    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(lambda _: ixarkit.getIxarData(path, AB3).spectra, range(120)))
    assert all(np.array_equal(r, cube) for r in results)


# ------------------------------------------- layouts that read far or overlap

TRC3 = ("TRC", "3D", "NONE")


def TRACE_MAPS():  # no trace at all, in an area before the start of the file
    return w.image_trc_map(np.ones((2, 2, 0)), [], block_kw={"block_offset": -10**6})


def _anno(rows=ROWS, **kw):
    return w.multi_region(np.ones((2, 3)), rows, 1.0, 2.0, anno=[w.anno_table(w.REGION_COLUMNS, rows, **kw)])


@pytest.mark.parametrize("make,exc", [
    # a negative record area fails as the seek to it does, records or not
    (TRACE_MAPS, OSError),
    (lambda: w.image_map(np.ones((2, 2, 3)), 1, 2, block_kw={"block_offset": -10**6}), OSError),
    # records that would lie inside one another
    (lambda: series(block_kw={"block_size": 0}), ValueError),
    (lambda: series(block_kw={"block_size": 15}), ValueError),
    (lambda: w.multi_region(np.ones((2, 3)), ROWS, 1.0, 2.0, block_kw={"block_size": 11}), ValueError),
    # text fields wider than their rows
    (lambda: _anno(extra=[("F08", -4)]), ValueError),
    # a column name that is no text is a key like any other; T09 is then missing
    (lambda: _anno(nco=10, extra=[("S09", 5), ("F09", 0)]), KeyError),
])
def test_layouts_rejected(tmp_path, make, exc):
    e = fails(exc, make().write(tmp_path / "f.ixar"), TRC3 if make is TRACE_MAPS else AB3)
    if exc is OSError:
        assert e.errno == errno.EINVAL
    if exc is KeyError:
        assert e.args == ("T09",)


@pytest.mark.parametrize("kw", [
    dict(extra=[("F00", 1.5), ("F05", "x")]),                      # offsets of number columns are not used
    dict(extra=[("S08", 7)]),                                      # the text column renamed to a number
])
def test_layouts_accepted(tmp_path, kw):
    want = ixarkit.getIxarData(_anno().write(tmp_path / "a.ixar"), AB3)
    got = ixarkit.getIxarData(_anno(**kw).write(tmp_path / "b.ixar"), AB3)
    for a, b in zip(want.regions, got.regions):
        for name in ("spectra", "mapX", "mapY", "start_time"):
            assert np.asarray(getattr(a, name)).tobytes() == np.asarray(getattr(b, name)).tobytes()


def test_single_record_may_be_any_size(tmp_path):
    got = ixarkit.getIxarData(w.time_resolved(np.ones((1, 4)), [0], 1, 2, block_kw={"block_size": 0})
                              .write(tmp_path / "f.ixar"), AB3)
    assert got.spectra.shape == (1, 4)
