"""DataBlock.band equals numpy on getIxarData's arrays bit for bit, eager
or lazy, reading only the band's columns; trace data and empty bands refused."""

import functools
import importlib.util
import operator

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB2, AB3, TRC, CountingFile, main_array, same
from ixarkit import _band

dask = importlib.util.find_spec("dask") is not None  # lazy bands need the extra

SP = np.random.default_rng(11).standard_normal((9, 25)).astype(np.float32)
SP[0, :3] = [-0.0, 1e-45, 3e38]
ROWS = w.region_rows(3, [(0, 0), (1, 0), (0, 1), (1, 1)], 0) + w.region_rows(1, [(9, 9), (2, 4)], 4) + \
    w.region_rows(2, [(20, 0), (21, 0), (22, 0)], 6)
FILES = {  # x from 3100 down to 1000 cm⁻¹ in 25 steps of 87.5 (the series: up)
    "single": (w.single_spectrum(SP[0], 3100, 1000, extra_params={"DXU": "WN"}), AB2),
    "image": (w.image_map(SP.reshape(3, 3, 25)[:, :2], 3100, 1000, extra_params={"DXU": "WN"}), AB3),
    "time-resolved": (w.time_resolved(SP, np.arange(9.0), 1000, 3100, extra_params={"DXU": "WN"}), AB3),
    "multi-region": (w.multi_region(SP, ROWS, 3100, 1000, extra_params={"DXU": "WN"}), AB3),
    "image-traces": (w.image_trc_map(SP[:6, :4].reshape(2, 3, 4), list("abcd")), TRC),
    "time-resolved-traces": (w.trc_series(SP[:3], list("uvw")), TRC),
    "multi-region-traces": (w.multi_region(SP[:3, :9], [r[:5] + (r[5] + 1,) + r[6:] for r in ROWS], 0, 1,
                                           data_type=w.D_TRC, labels=list("pqr")), TRC)}
X = np.linspace(3100, 1000, 25)


def expected(values, x, lo, hi, how):
    """The trapezoid rule as weights (half the distance between a point's neighbours, or to its one
    neighbour at an end; a point alone: 1) or the mean, summed term after term in order of x."""
    inside = (x >= min(lo, hi)) & (x <= max(lo, hi))
    v, xs = values[..., inside].astype(np.float64), np.concatenate([x[inside][:1], x[inside], x[inside][-1:]])
    weights = np.abs(xs[2:] - xs[:-2]) / 2 if how == "integral" and len(xs) > 3 else np.ones(len(xs) - 2)
    total = functools.reduce(operator.add, [v[..., k] * weights[k] for k in range(len(weights))])
    return total / len(weights) if how == "mean" else total


@pytest.mark.parametrize("how", ["integral", "mean"])
@pytest.mark.parametrize("lo, hi", [(2500, 1800), (1800, 2500), (3100, 1000), (-1e9, 1e9), (3100, 2950),
                                    (1087.5, 1000), (X[7], X[7]), (X[7] - 1, X[7] + 1)])
@pytest.mark.parametrize("name", ["single", "image", "time-resolved", "multi-region"])
def test_bands_match_numpy_on_the_whole_read(tmp_path, name, lo, hi, how):
    path = FILES[name][0].write(tmp_path / "f.ixar")
    r = ixarkit.getIxarData(path, FILES[name][1])
    whole = main_array(r)
    with ixarkit.open(path) as f:
        block = f[FILES[name][1]]
        got, lazy = block.band(lo, hi, how), block.band(lo, hi, how, lazy=True) if dask else None
        inside = (r.x >= min(lo, hi)) & (r.x <= max(lo, hi))
        same(got, expected(whole, r.x, lo, hi, how), got, expected(block[..., inside], r.x[inside], lo, hi, how))
        if name == "multi-region":  # the points of read().regions, one region after the other
            assert list(block.coords["region"]) == [1] * 2 + [2] * 3 + [3] * 4
    if dask:
        same(lazy.compute(), got)  # the file closed: the tasks open it again
    if how == "integral" and inside.sum() > 1:  # numpy's trapezoid, summed its own way, counted along x
        trapezoid = getattr(np, "trapezoid", None) or np.trapz
        along = trapezoid(whole[..., inside].astype(np.float64), r.x[inside], axis=-1) * np.sign(r.x[-1] - r.x[0])
        np.testing.assert_allclose(got, along, rtol=1e-13)


@pytest.mark.parametrize("budget", [1, 4 * 7 * 2, None])
@pytest.mark.parametrize("name", ["image", "time-resolved", "multi-region"])
def test_pieces_of_any_size_read_only_the_band(monkeypatch, name, budget):
    data = FILES[name][0].tobytes()
    whole = ixarkit.open(data)[AB3].band(2000, 2600)
    monkeypatch.setattr(_band, "CHUNK", budget or _band.CHUNK)
    monkeypatch.setattr(_band, "LAZY_CHUNK", budget or _band.LAZY_CHUNK)
    with ixarkit.open(counting := CountingFile(data)) as f:
        f[AB3].shape  # the layout, read once
        start = counting.read_bytes
        same(f[AB3].band(2000, 2600), whole)
        if dask:
            same(ixarkit.open(data)[AB3].band(2000, 2600, lazy=True).compute(), whole)
        assert counting.read_bytes - start == 4 * 7 * whole.size  # the 7 x values of the band, of each spectrum


@pytest.mark.parametrize("name, lo, hi, how, error, words", [
    ("image-traces", 0, 1, "integral", TypeError, "TRC 3D NONE is image-traces data .*already is the value of a band"),
    ("multi-region-traces", 0, 1, "mean", TypeError, "is multi-region-traces data"),
    ("time-resolved-traces", 0, 1, "mean", TypeError, "is time-resolved-traces data"),
    ("image", 5000, 6000, "integral", ValueError, "the band 5000 to 6000 cm⁻¹ holds no x value of AB 3D NONE, "
                                                  "whose x values run from 3100 to 1000 cm⁻¹"),
    ("time-resolved", 1010, 1080, "mean", ValueError, "1010 to 1080 cm⁻¹ .* run from 1000 to 3100 cm⁻¹"),
    ("image", 1000, 2000, "median", ValueError, "'integral' or 'mean', not 'median'"),
    ("image", float("nan"), 2000, "mean", ValueError, "numbers in x units"),
    ("image", "1000", 2000, "mean", TypeError, "numbers in x units")])
def test_refusals(name, lo, hi, how, error, words):
    with ixarkit.open(FILES[name][0].tobytes()) as f, pytest.raises(error, match=words):
        f[FILES[name][1]].band(lo, hi, how)
