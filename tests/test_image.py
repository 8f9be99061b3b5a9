"""getIxarData on 3D image maps: spectrum cubes and TRC trace maps."""

import os

import numpy as np
import pytest

import ixarkit
import checks
from checks import same
from ixarwriter import (D_AB, EXT_3D, P_ACQUISITION, P_FT, P_OWN, IxarFile,
                        block_type as bt, image_map, image_trc_map, param_block,
                        special_floats as specials)

REQ = ("AB", "3D", "NONE")
TRC = ("TRC", "3D", "NONE")
NOTICE = "Orignal mapping coordinates used\n"
MAP = dict(aox=-400.1, aoy=12.7, ddx=0.3, ddy=-2.5)


CUBE = specials((2, 3, 4))          # NPY 2, NPX 3, NPT 4
TRACES = specials((2, 3, 4), seed=1)  # NPY 2, NPX 3, four trace maps
LABELS = ["Peak area", "Ratio", "", "Band 1650"]


def get(path, req=REQ):
    return ixarkit.getIxarData(path, req)


def image(tmp_path, cube=CUBE, name="i.ixar", **kw):
    kw = {**MAP, **kw}
    return image_map(cube, 4000.0, 400.0, **kw).write(tmp_path / name)


def trc_image(tmp_path, traces=TRACES, labels=LABELS, name="t.ixar", **kw):
    return image_trc_map(traces, labels, **{**MAP, **kw}).write(tmp_path / name)


def linspace(first, step, n):
    return np.linspace(first, first + step * (n - 1), n)




def fails(exc, path, req=REQ):
    return checks.fails(exc, path, req)


# ------------------------------------------------------------- spectrum cubes

def test_image_cube(tmp_path, capsys):
    path = image(tmp_path, extra_params=[("MNY", -3.5), ("MXY", 9.25), ("SNM", "chip")])
    res = ixarkit.getIxarData(path, ("ab", "3d", "none"))
    assert type(res) is ixarkit.ImageDataReturn
    assert (res.dataType, res.dimension, res.derivative) == REQ
    same(res.spectra, CUBE)
    same(res.x, np.linspace(4000.0, 400.0, 4))
    same(res.mapX, linspace(-400.1, 0.3, 3))
    same(res.mapY, linspace(12.7, -2.5, 2))
    assert (res.minY, res.maxY) == (-3.5, 9.25)
    assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0, "MXY": 9.25,
                              "MNY": -3.5, "AOX": -400.1, "AOY": 12.7, "DDX": 0.3,
                              "DDY": -2.5, "NPX": 3, "NPY": 2, "SNM": "chip"}
    assert capsys.readouterr().out == ""


def test_later_parameter_blocks_win(tmp_path):
    f = image_map(CUBE, 4000.0, 400.0, **MAP)
    f.add(bt(param=P_FT), param_block({"AOX": 7.0}))
    f.add(bt(param=P_ACQUISITION), param_block({"AOX": 5.0, "DDY": 1.0}))
    res = get(f.write(tmp_path / "i.ixar"))
    assert (res.parameters["AOX"], res.parameters["DDY"]) == (7.0, 1.0)
    same(res.mapX, linspace(7.0, 0.3, 3))
    same(res.mapY, linspace(12.7, 1.0, 2))


@pytest.mark.parametrize("table,placed", [
    ([[0, 5]], 6),
    ([[10, 12]], 3),                      # placed like [[0, 2]]: by count, not index
    ([[0, 3], [-1, 100], [4, 5]], 6),     # the gap shifts nothing
    ([[0, 1], [5, 4], [2, 5]], 6),        # [5, 4] holds no spectrum
    ([[0, 0], [-1, 0], [1, 1]], 2),
    ([[7, 7], [3, 3], [3, 3]], 3),        # repeated indices still take new cells
    ([[0, 3]], 4),                        # fewer spectra than cells
    ([], 0),
])
def test_placement_by_running_count(tmp_path, table, placed):
    res = get(image(tmp_path, store_table=table))
    expected = np.zeros_like(CUBE)
    expected.reshape(6, 4)[:placed] = CUBE.reshape(6, 4)[:placed]
    same(res.spectra, expected)


@pytest.mark.parametrize("kw", [
    dict(block_kw=dict(block_size=0)),                  # the image path never uses it
    dict(block_kw=dict(version=7, stored_blocks=99)),
    dict(store_table=[[0, 5], [-1, 1 << 20]]),          # a trailing gap reads what is left
])
def test_fields_the_image_path_ignores(tmp_path, kw):
    same(get(image(tmp_path, **kw)).spectra, CUBE)


def test_more_spectra_than_cells(tmp_path):
    fails(IndexError, image(tmp_path, extra_params=[("NPY", 1)]))


def test_zero_npx_without_derivative(tmp_path, capsys):
    res = get(image(tmp_path, store_table=[], extra_params=[("NPX", 0)]))
    assert res.mapX.shape == (0,) and res.mapX.dtype == np.float64
    same(res.spectra, np.zeros((2, 0, 4), np.float32))
    fails(ZeroDivisionError, image(tmp_path, name="z.ixar", extra_params=[("NPX", 0)]))
    assert capsys.readouterr().out == ""


# ------------------------------------------------------- mapping fallback

ORIG = {"AOX": 10.5, "AOY": -3.0, "DDX": 0.25, "DDY": 2.0, "NPX": 3, "NPY": 2,
        "NPT": 99, "FXV": 1.0, "SNM": "original"}


def derived_image(tmp_path, deriv, zero, orig=ORIG):
    f = IxarFile()
    if orig is not None:
        f.add(bt(param=P_OWN, data=D_AB, extend=EXT_3D), param_block(orig))
    extra = [(code, 0) for code in zero]
    return image(tmp_path, deriv=deriv, extra_params=extra, f=f)


@pytest.mark.parametrize("deriv,name,zero", [
    (1, "1DER", ["NPX"]), (2, "2DER", ["NPY"]), (3, "NDER", ["NPX", "NPY"])])
def test_mapping_fallback(tmp_path, capsys, deriv, name, zero):
    res = get(derived_image(tmp_path, deriv, zero), ("AB", "3D", name))
    assert capsys.readouterr().out == NOTICE
    same(res.mapX, linspace(10.5, 0.25, 3))
    same(res.mapY, linspace(-3.0, 2.0, 2))
    same(res.spectra, CUBE)
    six = {k: ORIG[k] for k in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")}
    assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0,
                              "MXY": res.maxY, "MNY": res.minY, **six}


def test_no_fallback_when_grid_is_given(tmp_path, capsys):
    res = get(derived_image(tmp_path, 1, []), ("AB", "3D", "1DER"))
    assert capsys.readouterr().out == ""
    same(res.mapX, linspace(-400.1, 0.3, 3))
    assert res.parameters["AOX"] == -400.1


def test_fallback_without_original_parameters(tmp_path, capsys):
    fails(ValueError, derived_image(tmp_path, 1, ["NPX"], orig=None), ("AB", "3D", "1DER"))
    assert capsys.readouterr().out == NOTICE


def test_fallback_grid_too_large_for_file(tmp_path, capsys):
    path = derived_image(tmp_path, 1, ["NPX"], orig={**ORIG, "NPY": 10**9})
    fails(ValueError, path, ("AB", "3D", "1DER"))
    assert capsys.readouterr().out == NOTICE


# ------------------------------------------------------------ TRC images

def test_trc_image(tmp_path):
    res = get(trc_image(tmp_path), TRC)
    assert type(res) is ixarkit.ImageTRCDataReturn
    assert (res.dataType, res.dimension, res.derivative) == TRC
    same(res.traces, TRACES)
    assert res.labels == LABELS
    same(res.x, np.linspace(0.0, 1.0, 6))
    same(res.mapX, linspace(-400.1, 0.3, 3))
    same(res.mapY, linspace(12.7, -2.5, 2))


@pytest.mark.parametrize("info_size,label,expected", [
    (200, "Band 1", ["Band 1"] * 4),
    (200, b"ab\0cd", ["ab"] * 4),         # cut at the first NUL
    (160, "ABCDEFGH", ["ABCDEFGH"] * 4),  # field full, no NUL
    (152, "lost", [""] * 4),
    (100, "lost", []),                    # no label field: traces only
])
def test_trc_image_labels(tmp_path, info_size, label, expected):
    res = get(trc_image(tmp_path, labels=[label] * 4, info_size=info_size), TRC)
    assert res.labels == expected
    same(res.traces, TRACES)


@pytest.mark.parametrize("kw,exc", [
    (dict(extra_params=[("NPT", 5)]), ValueError),   # NPT is not NPY x NPX
    (dict(extra_params=[("NPT", 7)]), ValueError),
    (dict(traces=np.zeros((2, 3, 0)), labels=[]), ValueError),  # no traces
    (dict(labels=[b"caf\xe9"] * 4), UnicodeDecodeError),
])
def test_trc_image_errors(tmp_path, kw, exc):
    fails(exc, trc_image(tmp_path, **kw), TRC)


# ---------------------------------------------------------------- bad files

@pytest.mark.parametrize("kw", [
    dict(block_kw=dict(number_entries=1000)),      # store table past the end
    dict(block_kw=dict(info_size=-4)),
    dict(store_table=[[0, 1], [-1, -8], [2, 5]]),   # negative gap
    dict(store_table=[[0, 2147483646]]),            # more spectra than the file holds
    dict(block_kw=dict(block_offset=-10**6)),
    dict(block_kw=dict(block_size=-160)),            # records of 0 bytes
    dict(extra_params=[("NPT", 10**8)]),
    dict(extra_params=[("NPT", -1)]),
    dict(extra_params=[("NPX", 10**9)]),
    dict(extra_params=[("NPY", 10**9)]),
    dict(extra_params=[("NPX", -2)]),
], ids=lambda kw: str(kw))
def test_bad_image_files(tmp_path, kw):
    fails(ValueError, image(tmp_path, **kw))


@pytest.mark.parametrize("cut", [4, 160, 170])
@pytest.mark.parametrize("trc", [False, True])
def test_cut_short(tmp_path, trc, cut):
    path = trc_image(tmp_path) if trc else image(tmp_path)
    with open(path, "r+b") as fh:
        fh.truncate(os.path.getsize(path) - cut)
    fails(ValueError, path, TRC if trc else REQ)
