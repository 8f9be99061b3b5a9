"""The napari reader as napari calls it, through npe2 (no viewer needed):
each map a layer of what the handle reads, bit for bit, placed in µm;
large ones lazy; files without a map, and other files, refused."""

import numpy as np
import pytest

import ixarkit._napari
import ixarwriter as w
from checks import same
from test_handle import FILES

npe2 = pytest.importorskip("npe2")
npe2.PluginManager.instance().discover()
try:  # where napari is installed, its layers take what the reader gives
    from napari.layers import Layer
except ImportError:
    Layer = None


def read(path):
    return npe2.read([str(path)], stack=False, plugin_name="ixarkit")


def want(block):
    """(layer type, name, data, values of its colours) of each layer of the block."""
    main, key, labels, c = np.asarray(block), " ".join(block.key), block.labels or [], block.coords
    yx = np.column_stack([c["mapY"], c["mapX"]]) if "mapX" in c else None
    return {"image": lambda: [("image", key, np.moveaxis(main, -1, 0), None)],
            "image-traces": lambda: [("image", t, main[:, :, k], None) for k, t in enumerate(labels)],
            "multi-region": lambda: [("points", key, yx, block.band(c[block.dims[-1]][0], c[block.dims[-1]][-1]))],
            "multi-region-traces": lambda: [("points", t, yx, main[:, k]) for k, t in enumerate(labels)],
            }.get(block.kind, list)()


@pytest.mark.parametrize("lazy", [False, True])
@pytest.mark.parametrize("name", list(FILES))
def test_every_map_is_a_layer_of_what_the_handle_reads(tmp_path, monkeypatch, name, lazy):
    monkeypatch.setattr(ixarkit._napari, "LAZY_BYTES", 0 if lazy else ixarkit._napari.LAZY_BYTES)
    path = FILES[name][0].write(tmp_path / f"{name}.ixar")
    with ixarkit.open(path) as f:
        expected = want(f[FILES[name][1]])
    if not expected:  # single spectra and series: no map, for napari's other readers
        pytest.raises(ValueError, read, path).match("returned no data")
        return
    layers = read(path)
    assert [(kind, kw["name"]) for _, kw, kind in layers] == [(kind, n) for kind, n, _, _ in expected]
    for (data, kw, kind), (_, _, values, colours) in zip(layers, expected):
        assert type(data).__module__.startswith("dask" if lazy and kind == "image" else "numpy")
        same(np.asarray(data), values, *([] if colours is None else [kw["features"][kw["face_color"]], colours]))
        if lazy and kind == "image":  # from a sample of the values: here all of them
            assert kw["contrast_limits"] == (float(np.nanmin(values)), float(np.nanmax(values)))
        if Layer is not None:
            same(np.asarray(Layer.create(data, kw, kind).data), values)


def test_a_cube_is_placed_in_micrometres_and_slides_over_x_and_other_files_are_refused(tmp_path):
    cube = np.random.default_rng(2).random((3, 4, 5))
    path = w.image_map(cube, 4000, 400, aox=-5, aoy=7, ddx=2.5, ddy=-1.5, extra_params={"DXU": "WN"}).write(
        tmp_path / "cube.ixar")
    [(data, kw, kind)] = read(path)
    same(data, np.moveaxis(cube.astype(np.float32), -1, 0))
    assert (kw["translate"], kw["scale"]) == ((4000.0, 7.0, -5.0), (-900.0, -1.5, 2.5))
    named = (("wavenumber", "y", "x"), ("cm⁻¹", "µm", "µm"))
    assert (kw["metadata"]["axis_labels"], kw["metadata"]["units"]) == named
    assert (kw.get("axis_labels", named[0]), kw.get("units", named[1])) == named  # where napari takes them
    for other, data, why in (("short.ixar", b"IX", "refused"),   # shorter than the signature
                             ("notes.ixar", b"not a spectrometer file", "refused"), ("notes.txt", b"text", "compatible")):
        (tmp_path / other).write_bytes(data)
        pytest.raises(ValueError, read, tmp_path / other).match(why)
