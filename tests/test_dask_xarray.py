"""to_dask, to_xarray, the xarray backend, fsspec sources and the .nc/.zarr
export agree with read() for every family; graphs pickle and hold no open file."""

import csv
import io
import json
import os
import pathlib
import pickle
import zipfile

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from ixarkit._cli import main
from checks import CountingFile, main_array, open_descriptors, same
from test_handle import FILES, case  # noqa: F401 - a fixture

da = pytest.importorskip("dask.array")
xr = pytest.importorskip("xarray")
from ixarkit._xarray_backend import IxarBackendEntrypoint  # noqa: E402 - needs xarray


def fsspec_file(path, protocol):
    fsspec = pytest.importorskip("fsspec")
    if protocol == "memory":
        fsspec.filesystem("memory").pipe(f"/ixarkit-tests/{os.path.basename(path)}", open(path, "rb").read())
        return fsspec.open(f"memory://ixarkit-tests/{os.path.basename(path)}")
    return fsspec.open(f"file://{path}")


def named(data, name):   # a file object without a descriptor, with a name
    (fh := io.BytesIO(data)).name = name
    return fh


SOURCES = {  # a source of the image's file (made in data/, beside a decoy of its name and size), why no graph (False: no IXAR)
    "path": (lambda p, d, t: p, None), "bytes": (lambda p, d, t: d, None), "bytearray": (lambda p, d, t: bytearray(d), None),
    "named file": (lambda p, d, t: open(p, "rb"), None), "fsspec local": (lambda p, d, t: fsspec_file(p, "file"), None),
    "fsspec memory": (lambda p, d, t: fsspec_file(p, "memory"), None), "named as its file": (lambda p, d, t: named(d, p), None),
    "open file, relative name": (lambda p, d, t: open("image.ixar", "rb"), None),  # in data/
    # its name is a member's, and the folder holds a file of that name
    "zip member": (lambda p, d, t: zipfile.ZipFile(t / "a.zip").open("image.ixar"), "not provably"),
    "no name": (lambda p, d, t: io.BytesIO(d), "without a path.*OpenFile"),
    "named as another file": (lambda p, d, t: named(d, str(t / "a.zip")), "bytes"),
    "memoryview": (lambda p, d, t: memoryview(d), None), "netCDF in BytesIO": (lambda p, d, t: io.BytesIO(b"CDF\x01"), False),
    "cut to 3 bytes": (lambda p, d, t: io.BytesIO(d[:3]), False), "text": (lambda p, d, t: io.StringIO("text"), False)}


@pytest.mark.parametrize("source", list(SOURCES))
def test_sources_recognised_read_and_made_graphs_only_by_a_name_that_is_their_file(tmp_path, monkeypatch, source):
    f, req, _ = FILES["image"]
    data = f.tobytes()
    (tmp_path / "data").mkdir()
    real = f.write(tmp_path / "data" / "image.ixar")
    w.image_map(np.zeros((3, 4, 5)), 1, 2, store_table=[[0, 6], [-1, 12], [7, 9]]).write(tmp_path / "image.ixar")
    assert os.path.getsize(tmp_path / "image.ixar") == len(data)
    with zipfile.ZipFile(tmp_path / "a.zip", "w") as z:
        z.writestr("image.ixar", data)
    monkeypatch.chdir(tmp_path / "data" if source.startswith("open file") else tmp_path)
    make, why = SOURCES[source]
    want, obj = np.asarray(ixarkit.open(data)[req]), make(real, data, tmp_path)
    if hasattr(obj, "seek"):
        obj.seek(2)
    assert IxarBackendEntrypoint().guess_can_open(obj) is (why is not False)   # leaving its position
    assert not hasattr(obj, "seek") or obj.tell() == 2
    if why is False:
        return
    with xr.open_dataset(obj) as ds:    # no engine=
        same(ds.AB.values, want)
    with ixarkit.open(obj) as f:
        block = f[req]
        same(block[...], want)
        if why:
            pytest.raises(TypeError, block.to_dask).match(why)
        else:
            arr = block.to_dask(chunks=(1, 2, -1))
            assert arr.chunks == ((1, 1, 1), (2, 2), (5,))
            pickle.dumps(arr)
            same(block.to_xarray().values, want)
    getattr(obj, "close", lambda: None)()
    if not why:   # the graph holds no file: it computes after the handle and the source are closed
        same(arr.compute(scheduler="threads"), want)


SERIES = w.time_resolved(np.ones((10, 3)), np.arange(10.0), 1, 2, store_table=[[0, 2], [-1, 8], [3, 9]])


@pytest.mark.parametrize("f, limit, want", [
    (FILES["image"][0], 2 * 4 * 5 * 4, ((2, 1), (4,), (5,))),      # rows of the map, whole spectra
    (FILES["image"][0], 2 * 5 * 4, ((1, 1, 1), (2, 2), (5,))),     # a row is larger than a chunk
    (FILES["image-traces"][0], 2 * 6 * 4, ((2,), (3,), (2, 2))),  # whole trace maps
    (FILES["series"][0], 40 * 4, ((5, 1), (7,))), (FILES["region-traces"][0], 2 * 5 * 4, ((5,), (2, 2, 2))),
    (SERIES, 4 * 3 * 4, ((3, 4, 3), (3,)))])                       # a chunk ends where a stored run ends
def test_default_chunks_keep_records_whole_and_follow_their_order(monkeypatch, f, limit, want):
    monkeypatch.setattr("ixarkit._dask.CHUNK_BYTES", limit)
    with ixarkit.open(f.tobytes()) as fh:
        assert fh[next(iter(fh))].to_dask().chunks == want


def test_to_dask_and_to_xarray_equal_read_and_pickle(case):
    path, req, _, want = case
    with ixarkit.open(path) as f:
        block = f[req]
        eager, lazy = block.to_xarray(), block.to_xarray(chunks=2)
        graphs = {chunks: block.to_dask(chunks) for chunks in ("auto", 1, 2)}
    for chunks, arr in graphs.items():  # a graph holds no file: it pickles, and computes after the handle is closed
        arr = pickle.loads(pickle.dumps(arr))
        assert chunks == "auto" or all(max(c) <= chunks for c in arr.chunks)
        same(arr.compute(scheduler="threads"), main_array(want))
    assert eager.dims == lazy.dims == block.dims
    assert lazy.chunks is not None and eager.chunks is None
    same(eager.values, main_array(want), lazy.values, main_array(want))
    assert eager.name == req[0]
    assert {k: eager.attrs[k] for k in want.parameters} == want.parameters
    if block.kind not in ("image-traces", "multi-region-traces"):   # their last axis: traces
        same(eager[block.dims[-1]].values, want.x)
    if hasattr(want, "mapX"):
        same(eager.x.values, want.mapX, eager.y.values, want.mapY)
        assert eager.x.attrs["units"] == "um"
    if hasattr(want, "z"):
        same(eager.time.values, want.z)
        assert eager.time.attrs == {"long_name": "Time", "units": "s"}
    if hasattr(want, "labels"):
        assert list(eager.label.values) == want.labels
    if hasattr(want, "regions"):
        same(eager.mapX.values, np.concatenate([r.mapX for r in want.regions]))
        assert list(eager.region_title.values) == [r.title for r in want.regions for _ in r.mapX]
        if want.regions[0].start_time is not None:
            same(eager.start_time.values, np.concatenate([r.start_time for r in want.regions]))


def test_backend_opens_lazily_reads_only_the_selection_and_closes(case):
    path, req, _, want = case
    before = open_descriptors()
    ds = xr.open_dataset(path, engine="ixarkit", datablock=" ".join(req))
    same(ds[req[0]].values, main_array(want))
    assert before is None or len(open_descriptors()) == len(before) + 1
    ds.close()
    assert open_descriptors() == before
    # guessed from the signature; a file of one data set needs no datablock
    with xr.open_dataset(path, chunks={}) as ds:
        assert ds[req[0]].chunks is not None
        same(ds[req[0]].compute().values, main_array(want))


@pytest.mark.parametrize("chunks", [None, {}])
def test_datasets_and_arrays_pickle_and_read_their_source_again(case, chunks):
    path, req, _, want = case
    with xr.open_dataset(path, engine="ixarkit", datablock=req, chunks=chunks) as ds:
        back, first = pickle.loads(pickle.dumps(ds)), pickle.loads(pickle.dumps(ds.isel({ds[req[0]].dims[0]: 0})))
        with ixarkit.open(path) as f:
            lazy = pickle.loads(pickle.dumps(f[req].to_xarray(chunks=2)))
        assert back.identical(ds.load()) and lazy.identical(ds[req[0]])
    same(back[req[0]].values, main_array(want), first[req[0]].values, main_array(want)[0])
    back.close()
    with xr.open_dataset(io.BytesIO(pathlib.Path(path).read_bytes()), engine="ixarkit", datablock=req) as ds, \
            pytest.raises(TypeError, match="without a path"):
        pickle.dumps(ds)


def test_backend_selection_reads_one_record(tmp_path):
    f, req, _ = FILES["image"]
    with xr.open_dataset(counting := CountingFile(f.tobytes()), engine="ixarkit", datablock=req) as ds:
        start = counting.read_bytes
        pixel = ds.AB.isel(x=2, y=1).values
        assert counting.read_bytes - start == 5 * 4
        same(pixel, np.asarray(ixarkit.open(f.tobytes())[req])[1, 2])
        same(ds.AB.isel(x=[0, 3], y=slice(1, None)).values, np.asarray(ixarkit.open(f.tobytes())[req])[1:, [0, 3]])


def test_backend_asks_which_data_set(tmp_path):
    path = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "absorbance.ixar")
    pytest.raises(ValueError, xr.open_dataset, path, engine="ixarkit").match("3 data sets; choose one with datablock=.*AB 2D NONE")
    e = pytest.raises(KeyError, xr.open_dataset, path, engine="ixarkit", datablock="tr 2d none")
    assert e.match("no data set TR 2D NONE in '.*absorbance.ixar', which holds AB 2D NONE") and e.value.failure == "no-data-set"
    (tmp_path / "x.nc").write_bytes(b"CDF\x01" + bytes(60))
    assert IxarBackendEntrypoint().guess_can_open(path) and not IxarBackendEntrypoint().guess_can_open(str(tmp_path / "x.nc"))


def test_distributed_worker_processes(tmp_path):
    distributed = pytest.importorskip("distributed")
    paths = {name: (FILES[name][0].write(tmp_path / f"{name}.ixar"), FILES[name][1]) for name in FILES}
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster):
        for name, (path, req) in paths.items():
            want = main_array(ixarkit.getIxarData(path, req))
            for source in (path, fsspec_file(path, "file")) if name == "image" else (path,):
                with ixarkit.open(source) as f:
                    arr = f[req].to_dask(chunks=2)
                same(arr.compute(), want)


@pytest.mark.parametrize("ext", [".nc", ".zarr"])
@pytest.mark.parametrize("chunked", [False, True])
def test_export_through_xarray(case, ext, chunked, monkeypatch, capsys):
    pytest.importorskip("h5netcdf" if ext == ".nc" else "zarr")
    path, req, _, want = case
    if chunked:
        monkeypatch.setattr("ixarkit._cli.export.CHUNKED_BYTES", 0)
    out = os.path.splitext(path)[0] + ext
    assert main([path, "--export", *req, "-o", out]) == 0
    assert ("done" in (err := capsys.readouterr().err)) == chunked and f"wrote {out}" in err
    with (xr.open_zarr(out) if ext == ".zarr" else xr.open_dataset(out)) as ds:
        same(ds[req[0]].values, main_array(want))
        assert ds[req[0]].attrs["NPT"] == want.parameters["NPT"]


@pytest.mark.parametrize("ext", [".nc", ".zarr"])
def test_export_renames_or_skips_parameter_names_netcdf_cannot_store(tmp_path, ext):
    pytest.importorskip("h5netcdf" if ext == ".nc" else "zarr")
    odd = [w.rec_int("", 5), w.rec_int("a/b", 3), w.rec_text(" AB", "x"), w.rec_int("AB", 1), w.rec_int(b"\xc3\xa9", 2)]
    path = w.single_spectrum(np.arange(4.0), 1, 2, extra_params=odd).write(tmp_path / "odd.ixar")
    assert main([path, "--export", "AB", "2D", "NONE", "-o", str(tmp_path / f"x{ext}")]) == 0
    with (xr.open_zarr if ext == ".zarr" else xr.open_dataset)(tmp_path / f"x{ext}") as ds:
        attrs = ds.AB.attrs
        same(ds.AB.values, np.arange(4, dtype=np.float32))
    assert (attrs["a_b"], attrs["_"], attrs["AB"], attrs["NPT"]) == (3, 2, 1, 4)
    assert [json.loads(attrs[k]) for k in ("ixarkit_renamed", "ixarkit_skipped")] == [{"a_b": "a/b", "_": "\u00e9"}, {"": 5, " AB": "x"}]


@pytest.mark.parametrize("dxu, deriv, data_type", [("WN", 0, w.D_AB), ("WN", 1, w.D_AB), ("MI", 2, w.D_TRC),
                                                   ("LGW", 1, w.D_AB), ("PNT", 0, w.D_AB), ("NM", 2, w.D_AB)])
def test_xarray_names_units_as_the_command_line_does(tmp_path, dxu, deriv, data_type):
    path = w.single_spectrum(np.arange(4.0), 1, 2, deriv=deriv, data_type=data_type, extra_params={"DXU": dxu}).write(
        tmp_path / "s.ixar")
    key = ixarkit.listContents(path)[0]
    assert main([path, "--export", *key, "-o", str(tmp_path / "s.csv")]) == 0
    with open(tmp_path / "s.csv", newline="") as fh:
        header = next(csv.reader(fh))
    with ixarkit.open(path) as f:
        data = f[key].to_xarray()
    names = [(c.attrs["long_name"], c.attrs.get("units")) for c in (data[data.dims[0]], data)]
    assert header == [f"{n} ({u})" if u else n for n, u in names]


@pytest.mark.parametrize("name", ["image", "series", "regions"])
def test_references_read_by_zarr_without_ixarkit(tmp_path, name):
    # zarr reads the file's own bytes through fsspec's reference file system: the values of the block, bit for bit.
    fsspec = pytest.importorskip("fsspec")
    made, req, kind = FILES[name]
    path = made.write(tmp_path / f"{name}.ixar")
    with ixarkit.open(path) as f:
        block = f[req]
        if kind == "multi-region":  # points from an annotation table: no array of records to describe
            pytest.raises(ValueError, block.to_references).match("references describe image maps and time-resolved series")
            return
        refs, want, coords = block.to_references(), np.asarray(block), block.coords
    assert main([path, "--references", *req, "-o", str(out := tmp_path / "refs.json")]) == 0 and json.loads(out.read_text()) == refs
    ds = xr.open_dataset(fsspec.filesystem("reference", fo=str(out)).get_mapper(""), engine="zarr",
                         consolidated=False, zarr_format=2)
    same(ds[req[0]].values, want)
    for dim, values in coords.items():
        same(ds[dim].values, np.asarray(values, np.float64))

