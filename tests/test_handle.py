"""ixarkit.open: every family through every kind of source agrees with
getIxarData; selections agree with numpy indexing of the whole array and
read only what they select; damaged files raise cleanly; threads share a
handle."""

import io
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from ixarkit._cli import main
from checks import CountingFile, main_array, same, same_result

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))
from fuzz_python import compare, random_index  # noqa: E402

RNG = np.random.default_rng(5)
SP = RNG.random((6, 7)).astype(np.float32)
ROWS = w.region_rows(1, [(0, 0), (1, 0)], 0, nx=2, ny=1) + w.region_rows(0, [(5, 5), (6, 6), (7, 7)], 2)
FILES = {  # name: (file, request, kind)
    "single": (w.single_spectrum(SP[0], 10.0, 1.0), ("AB", "2D", "NONE"), "single"),
    "image": (w.image_map(RNG.random((3, 4, 5)), 1, 2, store_table=[[0, 6], [-1, 12], [7, 9]]),
              ("AB", "3D", "NONE"), "image"),
    "image-traces": (w.image_trc_map(RNG.random((2, 3, 4)), list("abcd")), ("TRC", "3D", "NONE"), "image-traces"),
    "series": (w.time_resolved(SP, np.arange(6.0), 1, 2, store_table=[[0, 1], [-1, 4], [2, 5]]),
               ("AB", "3D", "NONE"), "time-resolved"),
    "traces": (w.trc_series(SP, list("uvwxyz")), ("TRC", "3D", "NONE"), "time-resolved-traces"),
    "regions": (w.multi_region(SP, ROWS, 1, 2, start_times=list(np.arange(6.0))), ("AB", "3D", "NONE"),
                "multi-region"),
    "region-traces": (w.multi_region(SP, [r[:5] + (r[5] + 1,) + r[6:] for r in ROWS], 1, 2, data_type=w.D_TRC,
                                     labels=list("pqrstu")), ("TRC", "3D", "NONE"), "multi-region-traces"),
}


SOURCES = {"path": lambda p: p, "pathlib": lambda p: __import__("pathlib").Path(p), "file": lambda p: open(p, "rb"),
           "BytesIO": lambda p: io.BytesIO(open(p, "rb").read()), "bytes": lambda p: open(p, "rb").read(),
           "memoryview": lambda p: memoryview(bytearray(open(p, "rb").read()))}


@pytest.fixture(params=list(FILES))
def case(request, tmp_path):
    """(path, request, kind, what getIxarData gives) of each family's file."""
    f, req, kind = FILES[request.param]
    return (path := f.write(tmp_path / f"{request.param}.ixar")), req, kind, ixarkit.getIxarData(path, req)


@pytest.mark.parametrize("source", list(SOURCES))
def test_every_family_every_source(case, source):
    path, req, kind, want = case
    with ixarkit.open(SOURCES[source](path)) as f:
        assert list(f) == ixarkit.listContents(path)
        block = f[req]
        assert (block.kind, block.dtype, block.shape, block.parameters, block.labels) == (
            kind, np.float32, main_array(want).shape, want.parameters, getattr(want, "labels", None))
        same_result(block.read(), want)
        same(np.asarray(block), main_array(want))
        for axis, name in enumerate(block.dims):
            if name in ("y", "x", "time", "trace", "point"):
                assert len(block.coords[name]) == block.shape[axis]
            else:
                same(block.coords[name], want.x)
    assert f.closed
    pytest.raises(ValueError, block.__getitem__, ...)


def spoil(result):
    """Writes over every array and dict a result holds."""
    for value in vars(result).values():
        if isinstance(value, np.ndarray):
            value[...] = 7
        elif isinstance(value, dict):
            value.clear()
        elif isinstance(value, list) and value and hasattr(value[0], "spectra"):
            for region in value:
                spoil(region)


def test_results_own_their_objects(case):
    """Whatever a caller does to one result, the next read, the block's
    parameters and coordinates are untouched, before and after they are
    first asked for."""
    path, req, _, want = case
    with ixarkit.open(path) as f:
        for k in range(4):
            spoil(f[req].read())
            same_result(f[req].read(), want)
            assert k < 2 or f[req].parameters == want.parameters


def test_selections_match_numpy(case):
    # The fuzzer's random indexes and its check: block[index] is full[index] (type, dtype, shape, bits), or both
    # raise IndexError; read_direct gives the same.
    path, req, _, want = case
    full = main_array(want)
    rng, results = np.random.default_rng(full.ndim), 0
    with ixarkit.open(path) as f:
        block = f[req]
        for _ in range(300):
            compare(block, full, index := random_index(rng, full.shape))
            try:
                want = np.asarray(full[index])
            except Exception:  # noqa: BLE001 - what numpy refuses, compare() has seen refused
                continue
            results += 1
            same(block.read_direct(np.full(want.shape, np.nan, np.float32), index), want)
        assert results > 150
        pytest.raises(IndexError, block.__getitem__, (0,) * (full.ndim + 1))


@pytest.mark.parametrize("index", [
    ([0, 1, 2], ..., 1), (slice(None), [0, 3, 1], ..., 2), ([2, 0], slice(None), [[1], [3]]), (True,),
    (np.False_, 1), (1, np.True_, ..., [0, 4]), (np.ones((3, 4), bool),), (..., np.eye(4, 5, dtype=bool)),
    (False, [9]), ([[]], [1]), (np.zeros((3, 0), bool),), (..., np.zeros(0, bool), False),
    (0, 0, 0), ([0, 1], [1, 2, 3]), (np.ones(4, bool),), (np.zeros((2, 0), bool),), (1.0,), ([0.5],), (..., ...),
    (0, 0, 0, 0)])
def test_indexing_follows_numpy(tmp_path, index):
    path = FILES["image"][0].write(tmp_path / "i.ixar")
    full = main_array(ixarkit.getIxarData(path, ("AB", "3D", "NONE")))   # (3, 4, 5)
    with ixarkit.open(path) as f:
        compare(f["AB", "3D", "NONE"], full, index)  # the same result as numpy's, or both raise IndexError


@pytest.mark.parametrize("index, values", [
    ((np.eye(3, 4, dtype=bool), 1), 3 * 3),              # rows 0-2 by columns 0-2, one value each
    (([2, 0], ..., [[1], [3]]), 2 * 4 * 3),              # two rows of records, values 1 to 3 of each
    ((True, 1, 2, slice(3, 4)), 1), ((False, 1), 0), (([], [1]), 0)])
def test_advanced_indexes_read_only_the_records_and_values_they_touch(tmp_path, index, values):
    data = w.image_map(SP[:3, :5].reshape(3, 1, 5) + np.arange(4.0)[:, None], 1, 2).tobytes()   # (3, 4, 5)
    with ixarkit.open(counting := CountingFile(data)) as fh:
        block = fh["AB", "3D", "NONE"]
        block.shape
        start = counting.read_bytes
        same(block[index], np.asarray(ixarkit.open(data)["AB", "3D", "NONE"])[index])
        assert counting.read_bytes - start == 4 * values


CUBE = np.arange(2 * 3 * 4, dtype=np.float32).reshape(2, 3, 4)
NAMES = [("AB", "3D", "NONE"), ("ab", "3d", "none"), ["Ab", "3D", "None"], "AB 3D NONE", "ab 3d none",
         "AB,3D,NONE", " ab, 3d ,none "]
DERIVATIVE = [("AB", "3D", "NDER"), ("ab", "3d", "3der"), "AB 3D 3DER", "ab,3d,nder"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    return (w.image_map(CUBE, 1.0, 2.0).write(folder / "image.ixar"),
            w.image_map(CUBE, 1.0, 2.0, deriv=3).write(folder / "nder.ixar"))


@pytest.mark.parametrize("which, name", [(0, n) for n in NAMES] + [(1, n) for n in DERIVATIVE])
def test_every_spelling_names_the_data_set_everywhere(files, tmp_path, capsys, which, name):
    # One way to name a data set everywhere: f[...], `in`, the xarray engine's datablock= and the command line
    # take a tuple of the three words or one string of them, in any case, with NDER or 3DER for a derivative.
    path = files[which]
    with ixarkit.open(path) as f:
        key = next(iter(f))
        assert name in f and f[name] is f[key] and f[name].key == key
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path, engine="ixarkit", datablock=name) as ds:
        np.testing.assert_array_equal(ds[list(ds.data_vars)[0]].values, CUBE)
    assert main([path, "--export", *([name] if isinstance(name, str) else name), "-o", str(tmp_path / "m.npz")]) == 0
    if isinstance(name, str):
        assert main([path, f"--params={name}"]) == 0 and "NPX" in capsys.readouterr().out


@pytest.mark.parametrize("name", ["AB 3D", "AB 3D NONE X", ("AB", "3D"), ("AB", "3D", 1), 5, "TR 3D NONE", b"AB 3D NONE"])
def test_anything_else_names_none(files, name):
    with ixarkit.open(files[0]) as f:
        assert name not in f and pytest.raises(KeyError, f.__getitem__, name)


def test_keys_and_errors(tmp_path):
    path = FILES["image"][0].write(tmp_path / "i.ixar")
    with ixarkit.open(path) as f:
        with pytest.raises(KeyError, match="AB"):
            f["TR", "3D", "NONE"]
        assert "image (3, 4, 5)" in repr(f) and "cm" not in repr(f)
    pytest.raises(FileNotFoundError, ixarkit.open, str(tmp_path / "missing.ixar"))
    for data in (b"", b"ab", b"not an IXAR file at all"):
        pytest.raises(ValueError, ixarkit.open, data)
    pytest.raises(ValueError, ixarkit.open, open(path, "rb").read()[:30]).match("directory")


@pytest.mark.parametrize("index", [np.s_[::10], np.s_[1600:1700], np.s_[[3, 1865, 4]]], ids=["strided", "run", "picks"])
def test_a_cut_record_is_counted_whole(index):
    # However little of the record a selection asks for, its error counts the record's own values.
    long_name = {"SNM": "x" * 4000}  # the file then holds more bytes than NPT values take
    data = w.single_spectrum(np.arange(1867, dtype=np.float32), 4000.0, 400.0, extra_params=long_name).tobytes()[:-4 * 367]
    with ixarkit.open(data) as f, pytest.raises(ValueError, match=r"holds 1500 of its 1867 values before the end of the file"):
        f["AB", "2D", "NONE"][index]


def test_threads_read_whole_data_sets_at_once(case):
    """Whole reads, parameters and selections of one block on four threads
    at once, from its first read on, each result spoiled once checked."""
    path, req, _, want = case
    for source in (path, io.BytesIO(open(path, "rb").read())):
        with ixarkit.open(source) as f:
            def work(k):
                if k % 3 == 0:
                    got = f[req].read()
                    same_result(got, want)
                    spoil(got)
                elif k % 3 == 1:
                    assert f[req].parameters == want.parameters
                else:
                    same(f[req][..., :2], main_array(want)[..., :2])
            with ThreadPoolExecutor(4) as pool:
                list(pool.map(work, range(60)))


@pytest.mark.parametrize("module, call, extra", [("dask.array", "to_dask", "dask"), ("xarray", "to_xarray", "xarray"),
                                                 ("hyperspy.api", "to_hyperspy", "hyperspy")])
def test_a_missing_extra_is_named(tmp_path, monkeypatch, capsys, module, call, extra):
    monkeypatch.setitem(sys.modules, module, None)
    f, req, _ = FILES["single"]
    with pytest.raises(ImportError, match=rf'{call} needs {extra}: pip install "ixarkit\[{extra}\]"'):
        getattr(ixarkit.open(f.tobytes())[req], call)()
    if module == "xarray":
        assert main([f.write(tmp_path / "s.ixar"), "--export", *req, "-o", str(tmp_path / "x.nc")]) == 2
        assert 'needs xarray and h5netcdf and h5py (not found: xarray): pip install "ixarkit[xarray]"' in capsys.readouterr().err


def test_file_object_position_untouched(tmp_path):
    path = FILES["series"][0].write(tmp_path / "s.ixar")
    with open(path, "rb") as fh:
        fh.seek(17)
        with ixarkit.open(fh) as f:
            f["AB", "3D", "NONE"][2]
        assert fh.tell() == 17 and not fh.closed
