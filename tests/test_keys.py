"""One way to name a data set everywhere: f[...], `in`, the xarray engine's
datablock= and the command line take a tuple of the three words or one
string of them, in any case, with NDER or 3DER for a derivative."""

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from ixarkit._cli import main

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
    path = files[which]
    with ixarkit.open(path) as f:
        key = next(iter(f))
        assert name in f and f[name] is f[key] and f[name].key == key
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path, engine="ixarkit", datablock=name) as ds:
        np.testing.assert_array_equal(ds[list(ds.data_vars)[0]].values, CUBE)
    words = [name] if isinstance(name, str) else list(name)
    assert main([path, "--export", *words, "-o", str(tmp_path / "m.npz")]) == 0
    if isinstance(name, str):
        assert main([path, f"--params={name}"]) == 0 and "NPX" in capsys.readouterr().out


@pytest.mark.parametrize("name", ["AB 3D", "AB 3D NONE X", ("AB", "3D"), ("AB", "3D", 1), 5, "TR 3D NONE", b"AB 3D NONE"])
def test_anything_else_names_none(files, name):
    with ixarkit.open(files[0]) as f:
        assert name not in f
        with pytest.raises(KeyError):
            f[name]
