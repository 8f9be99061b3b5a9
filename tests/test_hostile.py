"""Damaged and hostile files: clean exceptions, no leaks of memory or descriptors; threads."""

import gc
import os
import struct
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB2, AB3, same

BIG = 2**31 - 1
ROWS = w.region_rows(0, [(0, 0), (1, 1)], 0)


def regions(nrp=None, **table_overrides):
    table = w.anno_table(w.REGION_COLUMNS, ROWS, **table_overrides)
    return w.multi_region(np.ones((2, 3)), ROWS, 1.0, 2.0, anno=w.anno_block([table], nrp=nrp))


def series(**kw):
    return w.time_resolved(np.ones((2, 4)), [0, 1], 1, 2, **kw)


def spectrum(f=None, **kw):
    return w.single_spectrum(np.arange(8, dtype=np.float32), 1, 2, f=f, **kw)


# A file claiming a count of about two billion, the request, and the outcome (a result class, an
# exception, or None: any outcome will do); a hang would stop the suite.
@pytest.mark.parametrize("make,request_,outcome", [
    (lambda: spectrum(w.IxarFile(number_dir_entries=BIG)), AB2, None),
    (lambda: spectrum(w.IxarFile(number_ext_entries=2**62)), AB2, ixarkit.SingleDataReturn),
    (lambda: series(block_kw={"number_entries": BIG}), AB3, ValueError),   # store-table entries
    (lambda: series(store_table=[[0, BIG - 1]]), AB3, ValueError),         # spectra of one run
    (lambda: regions(nln=BIG), AB3, ValueError),
    (lambda: regions(nco=BIG), AB3, KeyError),
    (lambda: regions(nrp=BIG), AB3, KeyError),                             # annotation tables
])
def test_corrupt_counts(tmp_path, make, request_, outcome):
    ixarkit.listContents(path := make().write(tmp_path / "f.ixar"))
    try:
        result = ixarkit.getIxarData(path, request_)
    except Exception as e:
        result = e
    assert outcome is None or isinstance(result, outcome)


def damaged_files(tmp_path):
    """(path, request, exception or None) for every kind of damage."""
    good, unterminated, negative = spectrum().tobytes(), spectrum(), spectrum()
    unterminated.add(w.block_type(param=w.P_ACQUISITION), w.param_block({"AAA": 1}, end=False))
    negative.add_entry(w.block_type(data=w.D_AB), 4, -8)
    image = w.image_map(np.ones((2, 2, 3)), 1, 2).tobytes()
    cases = [
        (good, AB2, None), (good[:-5], AB2, ValueError), (b"\0\0\0\0" + good[4:], AB2, ValueError),
        (good[:3], AB2, struct.error), (good, ("TR", "2D", "NONE"), ValueError), (good, ("AB", "5D", "NONE"), ValueError),
        (spectrum(params=[w.rec_raw("NPT", 7, 2, b"\0" * 4)]).tobytes(), AB2, ValueError),
        (spectrum(extra_params=[w.rec_text("SNM", b"\xe9t\xe9")]).tobytes(), AB2, UnicodeDecodeError),
        (spectrum(npt=BIG).tobytes(), AB2, ValueError), (spectrum(params=[("FXV", 1.0)]).tobytes(), AB2, KeyError),
        (unterminated.tobytes(), AB2, ValueError), (negative.tobytes(), AB2, OSError),
        (image, AB3, None), (image[:-200], AB3, ValueError),
        (regions().tobytes(), AB3, None), (regions(nln=50).tobytes(), AB3, ValueError),
    ]
    [(tmp_path / f"{k}.ixar").write_bytes(data) for k, (data, _, _) in enumerate(cases)]
    return [(str(tmp_path / f"{k}.ixar"), r, e) for k, (_, r, e) in enumerate(cases)] + [
        (str(tmp_path / "absent.ixar"), AB2, FileNotFoundError)]


def test_every_path_keeps_memory_and_descriptors_flat(tmp_path, monkeypatch):
    monkeypatch.setattr("sys.unraisablehook", lambda u: None)
    for path, request, exc in damaged_files(tmp_path):
        before_fds = sorted(os.listdir("/proc/self/fd"))
        tracemalloc.start()
        try:
            for rounds in (1000, 3000):  # the first round fills caches and free lists
                gc.collect()
                base = tracemalloc.get_traced_memory()[0]
                for _ in range(rounds):
                    if exc is None:
                        ixarkit.getIxarData(path, request)
                        ixarkit.listContents(path)
                    else:
                        pytest.raises(exc, ixarkit.getIxarData, path, request)
                gc.collect()
                grown = tracemalloc.get_traced_memory()[0] - base
        finally:
            tracemalloc.stop()
        # Every Python object takes at least 16 bytes: a leak of one per call would keep 48 kB here.
        assert grown < 24 * 1024, f"{path}: {grown} bytes kept after 3000 calls"
        assert sorted(os.listdir("/proc/self/fd")) == before_fds, path


def test_same_file_from_many_threads(tmp_path):
    cube = np.random.default_rng(1).random((16, 16, 300), dtype=np.float32)
    path = w.image_map(cube, 1.0, 2.0).write(tmp_path / "img.ixar")
    with ThreadPoolExecutor(max_workers=6) as pool:
        for spectra in pool.map(lambda _: ixarkit.getIxarData(path, AB3).spectra, range(120)):
            same(spectra, cube)
