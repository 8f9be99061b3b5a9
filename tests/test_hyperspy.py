"""to_hyperspy: every family as the signal it should be, holding what read()
gives; axes with their names, units and calibration; labels, per-point
coordinates and parameters in the metadata; lazy signals over to_dask."""


import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import main_array, same
from test_handle import FILES


@pytest.fixture
def hs():
    return pytest.importorskip("hyperspy.api")


S = "wavenumber"  # the x unit of the writer's files
# Each family's dims in the signal's array order, and how many are signal dims.
SIGNALS = {"single": ((S,), 1), "image": (("y", "x", S), 1), "image-traces": (("trace", "y", "x"), 2),
           "time-resolved": (("time", S), 1), "time-resolved-traces": (("trace", "spectral_time"), 1),
           "multi-region": (("point", S), 1), "multi-region-traces": (("point", "trace"), 1)}


def axes(s):
    """The signal's axes in array order."""
    return list(s.axes_manager._axes)


@pytest.mark.parametrize("lazy", [False, True])
@pytest.mark.parametrize("name", list(FILES))
def test_every_family_holds_what_read_gives(hs, tmp_path, name, lazy):
    # to_hyperspy's signal, and HyperSpy's load through the reader (of the one data set, or the one named)
    f, req, kind = FILES[name]
    path = f.write(tmp_path / f"{name}.ixar")
    want = ixarkit.getIxarData(path, req)
    with ixarkit.open(path) as fh:
        block = fh[req]
        made = block.to_hyperspy(lazy=lazy)
        coords, dims = block.coords, block.dims
    loaded = _load(hs, path, **({"datablock": " ".join(req), "lazy": True} if lazy else {}))
    assert loaded.metadata.General.title == made.metadata.General.title
    for s in (made, loaded):
        holds_what_read_gives(s, lazy, SIGNALS[kind], coords, dims, want, req, kind)


def holds_what_read_gives(s, lazy, signal, coords, dims, want, req, kind):
    order, nsignal = signal
    assert type(s).__name__ == f"{'Lazy' if lazy else ''}Signal{nsignal}D" and s._lazy == lazy
    assert [a.name for a in axes(s)] == list(order)
    assert [a.navigate for a in axes(s)] == [True] * (len(order) - nsignal) + [False] * nsignal
    data = s.data.compute() if lazy else s.data  # after the file was closed
    same(np.transpose(data, [order.index(d) for d in dims]), main_array(want))
    for a in axes(s):
        np.testing.assert_allclose(a.axis, coords[a.name], rtol=1e-12)
    meta = s.metadata.ixarkit
    assert (meta.data_set, meta.kind, meta.get_item("labels")) == (" ".join(req), kind, getattr(want, "labels", None))
    if hasattr(want, "regions"):
        points = [(x, y, r.title) for r in want.regions for x, y in zip(r.mapX, r.mapY)]
        assert list(zip(meta.mapX, meta.mapY, meta.region_title)) == points
    assert s.original_metadata.as_dictionary() == want.parameters


# (file, request, {axis: (offset, scale, units)} or {axis: (values, units)} where not uniform)
CALIBRATED = {
    "image": (w.image_map(np.zeros((3, 4, 5)), 4000, 400, aox=-5, aoy=7, ddx=2.5, ddy=-1.5,
                          extra_params={"DXU": "WN", "SNM": "film"}), ("AB", "3D", "NONE"),
              {"y": (7, -1.5, "µm"), "x": (-5, 2.5, "µm"), "wavenumber": (4000, -900, "cm⁻¹")}),
    "image-traces": (w.image_trc_map(np.zeros((2, 3, 2)), ["area", "ratio"], aox=1, ddx=0.5, ddy=4),
                     ("TRC", "3D", "NONE"), {"trace": (0, 1, None), "y": (0, 4, "µm"), "x": (1, 0.5, "µm")}),
    "uneven times": (w.time_resolved(np.zeros((4, 3)), [0.0, 1.0, 3.0, 7.5], 1, 2, ztx="Time (min)",
                                     extra_params={"DXU": "NM"}), ("AB", "3D", "NONE"),
                     {"time": ([0.0, 1.0, 3.0, 7.5], "min"), "wavelength": (1, 0.5, "nm")}),
    "times out of order": (w.time_resolved(np.zeros((3, 2)), [2.0, 1.0, 5.0], 10, 20, extra_params={"DXU": "MI"}),
                           ("AB", "3D", "NONE"), {"time": (0, 1, None), "wavelength": (10, 10, "µm")}),
    "traces over time": (w.trc_series(np.zeros((2, 5)), ["a", "b"], 0.0, 6.0, extra_params={"DXU": "SEC"}),
                         ("TRC", "3D", "NONE"), {"trace": (0, 1, None), "spectral_time": (0, 1.5, "s")}),
}


@pytest.mark.parametrize("name", list(CALIBRATED))
def test_axes_have_names_units_and_calibration(hs, name):
    f, req, want = CALIBRATED[name]
    s = ixarkit.open(f.tobytes())[req].to_hyperspy()
    for a in axes(s):
        *calibration, units = want[a.name]
        assert str(a.units) == (units or "<undefined>"), a.name
        if len(calibration) == 2:
            assert a.is_uniform and (a.offset, a.scale) == pytest.approx(calibration, rel=1e-12, abs=1e-12), a.name
        else:
            assert not a.is_uniform
            same(a.axis, np.array(calibration[0]))
    assert s.metadata.Signal.quantity == {"AB": "Absorbance (AU)", "TRC": "Trace value (a.u.)"}[req[0]]
    if name == "times out of order":
        same(s.metadata.ixarkit.time, np.array([2.0, 1.0, 5.0]))
    if name == "image":
        assert (s.metadata.General.title, s.metadata.Sample.description) == ("Absorbance", "film")
        assert s.isig[3100.0:1300.0].data.shape == (3, 4, 2)  # slices in cm⁻¹ along the decreasing axis


def test_decomposition_of_a_lazy_cube(hs, tmp_path):
    rng = np.random.default_rng(3)
    bands = np.exp(-((np.arange(40) - np.array([[10], [28]])) / 4.0) ** 2)          # two components
    weights = rng.random((6, 7, 2))
    path = w.image_map(weights @ bands, 3000, 1000, extra_params={"DXU": "WN"}).write(tmp_path / "cube.ixar")
    with ixarkit.open(path) as f:
        s = f["AB", "3D", "NONE"].to_hyperspy(lazy=True)
    s.decomposition(output_dimension=4, print_info=False)
    assert np.asarray(s.learning_results.explained_variance_ratio)[:2].sum() > 0.999999 and s.learning_results.factors.shape == (40, 4)


def _load(hs, path, **kw):
    """hs.load through ixarkit.rsciio: file_format from HyperSpy 2.4 on, reader before."""
    import inspect

    import ixarkit.rsciio
    how = "file_format" if "file_format" in inspect.signature(hs.load).parameters else "reader"
    return hs.load(path, **{how: ixarkit.rsciio}, **kw)


def test_hyperspy_loads_every_data_set_and_names_damage(hs, tmp_path):
    import os
    sample = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "absorbance.ixar")
    assert [s.metadata.ixarkit.data_set for s in _load(hs, sample)] == ["AB 2D NONE", "SSC 2D NONE", "RSC 2D NONE"]
    (cut := tmp_path / "cut.ixar").write_bytes(open(sample, "rb").read()[:-100])
    pytest.raises(ValueError, _load, hs, str(cut)).match("RSC 2D NONE in .*cut.ixar.: 2D data block")

