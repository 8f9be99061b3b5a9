"""getIxarData on image maps and time-resolved 3D blocks: spectrum cubes, spectra with z values, TRC traces
with labels, the mapping fallback of derived images and the dispatch between the 3D families."""

import struct

import numpy as np
import pytest

import ixarkit
from checks import AB3 as REQ, TRC, fails, get, reports, same  # noqa: F401  (fixture)
from ixarwriter import (D_AB, D_TRC, EXT_3D, P_ACQUISITION, P_FT, P_OWN, IxarFile, block3d, block_type as bt,
                        image_map, image_trc_map, info_record, multi_region, param_block, region_rows, spectrum_params,
                        special_floats as specials, time_resolved, trc_series)

NOTICE = "Orignal mapping coordinates used\n"   # sic
MAP = dict(aox=-400.1, aoy=12.7, ddx=0.3, ddy=-2.5)
CUBE = specials((2, 3, 4))              # NPY 2, NPX 3, NPT 4
SPECTRA = specials((5, 6), seed=3)      # five spectra of six points
Z = [0.0, 0.1, -2.5, 1e-300, 3600.125]
TRACES = specials((4, 6), seed=4)       # four traces of six points
LABELS = ["CO2", "H2O band", "", "ratio 1/2"]


def image(tmp_path, cube=CUBE, **kw):
    return image_map(cube, 4000.0, 400.0, **{**MAP, **kw}).write(tmp_path / "i.ixar")


def trc_image(tmp_path, traces=specials((2, 3, 4), seed=1), labels=LABELS, **kw):
    return image_trc_map(traces, labels, **{**MAP, **kw}).write(tmp_path / "t.ixar")


def series(tmp_path, spectra=SPECTRA, z=Z, **kw):
    return time_resolved(spectra, z, 2400.0, 1500.0, **kw).write(tmp_path / "s.ixar")


def traces(tmp_path, arr=TRACES, labels=LABELS, **kw):
    return trc_series(arr, labels, 1.5, -2.0, **kw).write(tmp_path / "t.ixar")


def linspace(first, step, n):
    return np.linspace(first, first + step * (n - 1), n)


def test_image_cube(tmp_path, capsys):
    res = get(image(tmp_path, extra_params=[("MNY", -3.5), ("MXY", 9.25), ("SNM", "chip")]))
    assert type(res) is ixarkit.ImageDataReturn and (res.dataType, res.dimension, res.derivative) == REQ
    same(res.spectra, CUBE, res.x, np.linspace(4000.0, 400.0, 4), res.mapX, linspace(-400.1, 0.3, 3), res.mapY,
         linspace(12.7, -2.5, 2))
    assert (res.minY, res.maxY) == (-3.5, 9.25) and capsys.readouterr().out == ""
    assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0, "MXY": 9.25, "MNY": -3.5, "DXU": "WN", "AOX": -400.1,
                              "AOY": 12.7, "DDX": 0.3, "DDY": -2.5, "NPX": 3, "NPY": 2, "SNM": "chip"}
    f = image_map(CUBE, 4000.0, 400.0, **MAP)      # later parameter blocks win
    [f.add(bt(param=p), param_block(d)) for p, d in ((P_FT, {"AOX": 7.0}), (P_ACQUISITION, {"AOX": 5.0, "DDY": 1.0}))]
    res = get(f.write(tmp_path / "i.ixar"))
    assert (res.parameters["AOX"], res.parameters["DDY"]) == (7.0, 1.0)
    same(res.mapX, linspace(7.0, 0.3, 3), res.mapY, linspace(12.7, 1.0, 2))
    res = get(image(tmp_path, store_table=[], extra_params=[("NPX", 0)]))   # no cells, no spectra
    same(res.mapX, np.zeros(0), res.spectra, np.zeros((2, 0, 4), np.float32))


@pytest.mark.parametrize("table,placed", [
    # by count, not index: the gap shifts nothing, [5, 4] holds no spectrum, repeats take new cells
    ([[0, 5]], 6), ([[10, 12]], 3), ([[0, 3], [-1, 100], [4, 5]], 6), ([[0, 1], [5, 4], [2, 5]], 6), ([[0, 0], [-1, 0], [1, 1]], 2),
    ([[7, 7], [3, 3], [3, 3]], 3), ([[0, 3]], 4), ([], 0), ([[0, 5], [-1, 1 << 20]], 6)])   # a trailing gap: what is left
@pytest.mark.parametrize("block_kw", [None, dict(block_size=0, version=7, stored_blocks=99)])   # fields it ignores
def test_placement_by_running_count(tmp_path, table, placed, block_kw):
    expected = np.zeros_like(CUBE)
    expected.reshape(6, 4)[:placed] = CUBE.reshape(6, 4)[:placed]
    same(get(image(tmp_path, store_table=table, block_kw=block_kw)).spectra, expected)


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_reads_in_forked_children(tmp_path):
    # Memory kept from the parent's earlier reads must serve children made by fork.
    import os
    cube = specials((40, 40, 400), seed=8)
    get(path := image(tmp_path, cube))
    for _ in range(2):
        if (pid := os.fork()) == 0:  # the child: read, report by its exit status, leave at once
            try:
                os._exit(0 if get(path).spectra.tobytes() == cube.tobytes() else 1)
            finally:
                os._exit(1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


ORIG = {"AOX": 10.5, "AOY": -3.0, "DDX": 0.25, "DDY": 2.0, "NPX": 3, "NPY": 2, "NPT": 99, "FXV": 1.0, "SNM": "original"}


def derived_image(tmp_path, deriv, zero, orig=ORIG):
    f = IxarFile()   # the underived block's parameters first, if any
    orig is None or f.add(bt(param=P_OWN, data=D_AB, extend=EXT_3D), param_block(orig))
    return image(tmp_path, deriv=deriv, extra_params=[(code, 0) for code in zero], f=f)


@pytest.mark.parametrize("deriv,name,zero", [(1, "1DER", ["NPX"]), (2, "2DER", ["NPY"]), (3, "NDER", ["NPX", "NPY"])])
def test_mapping_fallback(tmp_path, capsys, deriv, name, zero):
    res = get(derived_image(tmp_path, deriv, zero), ("AB", "3D", name))
    assert capsys.readouterr().out == NOTICE
    same(res.mapX, linspace(10.5, 0.25, 3), res.mapY, linspace(-3.0, 2.0, 2), res.spectra, CUBE)
    six = {k: ORIG[k] for k in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")}
    assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0, "MXY": res.maxY, "MNY": res.minY, "DXU": "WN",
                              **six}
    res = get(derived_image(tmp_path, deriv, []), ("AB", "3D", name))   # no fallback when the grid is given
    assert capsys.readouterr().out == "" and res.parameters["AOX"] == -400.1
    same(res.mapX, linspace(-400.1, 0.3, 3))
    for orig in (None, {**ORIG, "NPY": 10**9}):   # no original grid, or too large a one
        fails(ValueError, derived_image(tmp_path, deriv, zero, orig=orig), ("AB", "3D", name))
        assert capsys.readouterr().out == NOTICE


def test_time_resolved_spectra(tmp_path):
    res = get(series(tmp_path, extra_params=[("MNY", -1.0), ("MXY", 2.0)]))
    assert type(res) is ixarkit.TimeResolvedDataReturn and (res.dataType, res.dimension, res.derivative) == REQ
    same(res.spectra, SPECTRA, res.z, np.array(Z), res.x, np.linspace(2400.0, 1500.0, 6))
    assert (res.minY, res.maxY) == (-1.0, 2.0)
    assert res.parameters == {"NPT": 6, "FXV": 2400.0, "LXV": 1500.0, "MXY": 2.0, "MNY": -1.0, "DXU": "WN",
                              "ZTX": "Time (s)"}
    res = get(series(tmp_path, data_type=D_TRC), TRC)      # a TRC request with ZTX reads spectra
    assert type(res) is ixarkit.TimeResolvedDataReturn and res.dataType == "TRC"
    same(res.spectra, SPECTRA, res.z, np.array(Z))
    res = get(series(tmp_path, spectra=SPECTRA[:1], z=Z[:1], block_kw=dict(block_size=-160)))   # needs no record size
    same(res.spectra, SPECTRA[:1], res.z, np.array(Z[:1]))


# Records lie in the file in table order; each case: the records that come back, in offset-map order.
@pytest.mark.parametrize("table,order", [
    ([[0, 4]], [0, 1, 2, 3, 4]), ([[0, 1], [-1, 40], [2, 4]], [0, 1, 2, 3, 4]), ([[0, 1], [5, 4], [2, 4]], [0, 1, 2, 3, 4]),
    ([[3, 4], [0, 2]], [0, 1, 2, 3, 4]),                                  # table order, not index order
    ([[0, 2], [1, 1], [3, 3]], [0, 3, 2, 4]), ([[0, 1], [0, 0]], [2, 1]),   # later offset, first place
    ([[0, 1], [-1, -184], [2, 2]], [0, 1, 1])])                           # a gap may step back
def test_records_follow_the_offset_map(tmp_path, table, order):
    res = get(series(tmp_path, store_table=table))
    same(res.spectra, SPECTRA[order], res.z, np.array(Z)[order])
    if table[1:2] != [[-1, -184]]:   # the step back is sized for spectrum records
        arr, labels = specials((5, 6), seed=6), [f"trace {k}" for k in range(5)]
        res = get(traces(tmp_path, arr=arr, labels=labels, store_table=table), TRC)
        same(res.traces, arr[order])
        assert res.labels == [labels[k] for k in order]


def test_z_follows_the_values_not_the_block_size(tmp_path):
    # 8 floats a record, NPT 6: z is read 136 bytes after the 6th value (info byte 128), records apart by their size
    info = info_record(160, z=-1.0)
    records = [(row, info[:128] + struct.pack("<d", k + 0.5) + info[136:]) for k, row in enumerate(specials((3, 8), seed=5))]
    (f := IxarFile()).add(bt(param=P_OWN, data=D_AB, extend=EXT_3D), param_block(spectrum_params(6, 1.0, 6.0, 0.0, 1.0, [("ZTX", "t")])))
    f.add(bt(data=D_AB, extend=EXT_3D), block3d(records))
    res = get(f.write(tmp_path / "s.ixar"))
    same(res.spectra, specials((3, 8), seed=5)[:, :6], res.z, np.array([0.5, 1.5, 2.5]))


@pytest.mark.parametrize("image", [False, True])
@pytest.mark.parametrize("info_size,label,expected", [
    # cut at the first NUL; a full field without one (the last label ends the file); short info records
    (200, "Band 1", "Band 1"), (200, b"ab\0cd", "ab"), (160, "ABCDEFGH", "ABCDEFGH"), (152, "lost", ""), (100, "lost", None)])
def test_trace_labels(tmp_path, reports, image, info_size, label, expected):
    arr = specials((2, 2, 4), seed=1) if image else TRACES
    res = get((trc_image if image else traces)(tmp_path, arr, [label] * 4, info_size=info_size), TRC)
    same(res.traces, arr)
    assert res.labels == ([] if expected is None else [expected] * 4) and reports()[1] == ""


@pytest.mark.parametrize("npy,npx,count", [(80, 100, 300), (15, 20, 8300)])   # long maps in blocks; many short ones
def test_large_trace_maps(tmp_path, npy, npx, count):
    arr = specials((npy, npx, count), seed=9)
    labels = [f"map {k}" for k in range(count)]
    res = get(trc_image(tmp_path, arr, labels), TRC)
    same(res.traces, arr)
    assert res.labels == labels


SIX = [("AOX", 0.0), ("AOY", 0.0), ("DDX", 1.0), ("DDY", 1.0), ("NPX", 5), ("NPY", 1)]
ROWS = region_rows(0, [(0.0, 0.0)] * 6, 1)


@pytest.mark.parametrize("build,req,cls", [
    (lambda: time_resolved(SPECTRA, Z, 1.0, 2.0, extra_params=SIX), REQ, "ImageDataReturn"),
    (lambda: time_resolved(SPECTRA, Z, 1.0, 2.0, extra_params=SIX[:-1]), REQ, "TimeResolvedDataReturn"),
    (lambda: trc_series(TRACES, LABELS, extra_params=SIX[1:]), TRC, "TimeResolvedTRCDataReturn"),
    (lambda: multi_region(TRACES, ROWS, 0.0, 1.0, data_type=D_TRC, labels=LABELS), TRC, "MultiRegionTRCDataReturn"),
    (lambda: multi_region(SPECTRA, ROWS, 1.0, 2.0, data_type=D_TRC, extra_params=[("ZTX", "t")]), TRC,
     "TimeResolvedDataReturn")])
def test_dispatch(tmp_path, build, req, cls):
    assert type(get(build().write(tmp_path / "d.ixar"), req)) is getattr(ixarkit, cls)


@pytest.mark.parametrize("make,kw,exc", [
    (image, dict(extra_params=[("NPY", 1)]), IndexError),            # more spectra than cells
    (image, dict(extra_params=[("NPX", 0)]), ZeroDivisionError),
    (image, dict(block_kw=dict(info_size=-4)), ValueError),
    (image, dict(store_table=[[0, 1], [-1, -8], [2, 5]]), ValueError),   # negative gap
    (image, dict(block_kw=dict(block_size=-160)), ValueError),            # records of 0 bytes
    (image, dict(extra_params=[("NPT", -1)]), ValueError), (image, dict(extra_params=[("NPX", 10**9)]), ValueError),
    (image, dict(extra_params=[("NPY", 10**9)]), ValueError), (image, dict(extra_params=[("NPX", -2)]), ValueError),
    (trc_image, dict(extra_params=[("NPT", 5)]), ValueError), (trc_image, dict(extra_params=[("NPT", 7)]), ValueError),
    (trc_image, dict(traces=np.zeros((2, 3, 0)), labels=[]), ValueError),     # no traces
    (trc_image, dict(labels=["a", b"caf\xe9", "b", "c"]), UnicodeDecodeError),
    (traces, dict(labels=["a", b"\xff", "b", "c"]), UnicodeDecodeError),
] + [(make, kw, ValueError) for make in (series, traces) for kw in [
    dict(store_table=[]), dict(store_table=[[5, 4]]), dict(store_table=[[-1, 8]]),
    dict(block_kw=dict(block_size=-1000))]], ids=str)                            # records of negative size
def test_bad_files(tmp_path, capsys, make, kw, exc):
    fails(exc, make(tmp_path, **kw), TRC if make in (trc_image, traces) else REQ)
    assert capsys.readouterr().out == ""
