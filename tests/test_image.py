"""getIxarData on 3D image maps: spectrum cubes and TRC trace maps."""

import numpy as np
import pytest

import ixarkit
from checks import AB3 as REQ, TRC, fails, get, same
from ixarwriter import (D_AB, EXT_3D, P_ACQUISITION, P_FT, P_OWN, IxarFile,
                        block_type as bt, image_map, image_trc_map, param_block,
                        special_floats as specials)

NOTICE = "Orignal mapping coordinates used\n"
MAP = dict(aox=-400.1, aoy=12.7, ddx=0.3, ddy=-2.5)
CUBE = specials((2, 3, 4))            # NPY 2, NPX 3, NPT 4
TRACES = specials((2, 3, 4), seed=1)  # NPY 2, NPX 3, four trace maps
LABELS = ["Peak area", "Ratio", "", "Band 1650"]


def image(tmp_path, cube=CUBE, name="i.ixar", **kw):
    return image_map(cube, 4000.0, 400.0, **{**MAP, **kw}).write(tmp_path / name)


def trc_image(tmp_path, traces=TRACES, labels=LABELS, name="t.ixar", **kw):
    return image_trc_map(traces, labels, **{**MAP, **kw}).write(tmp_path / name)


def linspace(first, step, n):
    return np.linspace(first, first + step * (n - 1), n)


# ------------------------------------------------------------- spectrum cubes

def test_image_cube(tmp_path, capsys):
    res = get(image(tmp_path, extra_params=[("MNY", -3.5), ("MXY", 9.25), ("SNM", "chip")]))
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
    expected = np.zeros_like(CUBE)
    expected.reshape(6, 4)[:placed] = CUBE.reshape(6, 4)[:placed]
    same(get(image(tmp_path, store_table=table)).spectra, expected)


@pytest.mark.parametrize("kw", [
    dict(block_kw=dict(block_size=0)),                  # the image path never uses it
    dict(block_kw=dict(version=7, stored_blocks=99)),
    dict(store_table=[[0, 5], [-1, 1 << 20]]),          # a trailing gap reads what is left
])
def test_fields_the_image_path_ignores(tmp_path, kw):
    same(get(image(tmp_path, **kw)).spectra, CUBE)


def test_more_spectra_than_cells_and_zero_npx(tmp_path, capsys):
    fails(IndexError, image(tmp_path, extra_params=[("NPY", 1)]))
    res = get(image(tmp_path, store_table=[], extra_params=[("NPX", 0)]))
    same(res.mapX, np.zeros(0))
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
    return image(tmp_path, deriv=deriv, extra_params=[(code, 0) for code in zero], f=f)


@pytest.mark.parametrize("deriv,name,zero", [
    (1, "1DER", ["NPX"]), (2, "2DER", ["NPY"]), (3, "NDER", ["NPX", "NPY"])])
def test_mapping_fallback(tmp_path, capsys, deriv, name, zero):
    res = get(derived_image(tmp_path, deriv, zero), ("AB", "3D", name))
    assert capsys.readouterr().out == NOTICE
    same(res.mapX, linspace(10.5, 0.25, 3))
    same(res.mapY, linspace(-3.0, 2.0, 2))
    same(res.spectra, CUBE)
    six = {k: ORIG[k] for k in ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")}
    assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0, "MXY": res.maxY, "MNY": res.minY, **six}


def test_no_fallback_when_grid_is_given(tmp_path, capsys):
    res = get(derived_image(tmp_path, 1, []), ("AB", "3D", "1DER"))
    assert capsys.readouterr().out == ""
    same(res.mapX, linspace(-400.1, 0.3, 3))
    assert res.parameters["AOX"] == -400.1


@pytest.mark.parametrize("orig", [None, {**ORIG, "NPY": 10**9}])   # none, or too large a grid
def test_fallback_that_fails(tmp_path, capsys, orig):
    fails(ValueError, derived_image(tmp_path, 1, ["NPX"], orig=orig), ("AB", "3D", "1DER"))
    assert capsys.readouterr().out == NOTICE


@pytest.mark.parametrize("kw", [
    dict(extra_params=[("NPT", 5)]), dict(extra_params=[("NPT", 7)]),   # NPT is not NPY x NPX
    dict(traces=np.zeros((2, 3, 0)), labels=[])])                       # no traces
def test_trc_image_errors(tmp_path, kw):
    fails(ValueError, trc_image(tmp_path, **kw), TRC)


# ---------------------------------------------------------------- bad files

@pytest.mark.parametrize("kw", [
    dict(block_kw=dict(info_size=-4)),
    dict(store_table=[[0, 1], [-1, -8], [2, 5]]),   # negative gap
    dict(block_kw=dict(block_size=-160)),            # records of 0 bytes
    dict(extra_params=[("NPT", -1)]),
    dict(extra_params=[("NPX", 10**9)]),
    dict(extra_params=[("NPY", 10**9)]),
    dict(extra_params=[("NPX", -2)]),
], ids=str)
def test_bad_image_files(tmp_path, kw):
    fails(ValueError, image(tmp_path, **kw))
