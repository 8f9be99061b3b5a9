"""The command line: listing, parameters, export, plots and exit codes."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from ixarkit._cli import main

import ixarwriter as w

DATA = os.path.join(os.path.dirname(__file__), "..", "examples", "data")


@pytest.fixture
def files(tmp_path):
    rng = np.random.default_rng(3)
    y = rng.random(50).astype(np.float32)
    single = w.single_spectrum_file(tmp_path / "single.ixar", y, 4000.0, 400.0,
                                    extra_params={"DXU": "WN", "SNM": "film"})
    series = rng.random((4, 6)).astype(np.float32)
    tr = w.time_resolved(series, [0.0, 0.5, 1.0, 1.5], 10.0, 20.0).write(tmp_path / "series.ixar")
    cube = rng.random((3, 4, 5)).astype(np.float32)
    img = w.image_map(cube, 1.0, 2.0).write(tmp_path / "image.ixar")
    (tmp_path / "notes.txt").write_text("not a spectrum file")
    return dict(single=single, y=y, series=tr, spectra=series, image=img, cube=cube,
                text=str(tmp_path / "notes.txt"), dir=tmp_path)


def test_listing_and_params(files, capsys):
    assert main([files["single"], files["image"]]) == 0
    out = capsys.readouterr().out
    assert "AB 2D NONE" in out and "50 points" in out and "4000 to 400 WN" in out
    assert "AB 3D NONE" in out and "image 4 x 3 points" in out
    assert main([files["single"], "--params", "ab", "2d", "none"]) == 0
    out = capsys.readouterr().out
    assert "SNM" in out and "Sample Name" in out and "film" in out and "Number of Data Points" in out


def test_csv_export_of_a_spectrum_and_a_series(files):
    out = str(files["dir"] / "s.csv")
    assert main([files["single"], "--export", "AB", "2D", "NONE", "-o", out]) == 0
    table = np.loadtxt(out, delimiter=",", skiprows=1)
    assert table.shape == (50, 2)
    np.testing.assert_array_equal(table[:, 1].astype(np.float32), files["y"])

    out = str(files["dir"] / "t.csv")
    assert main([files["series"], "--export", "AB", "3D", "NONE", "-o", out]) == 0
    table = np.loadtxt(out, delimiter=",", skiprows=1)
    np.testing.assert_array_equal(table[:, 0], [0.0, 0.5, 1.0, 1.5])
    np.testing.assert_array_equal(table[:, 1:].astype(np.float32), files["spectra"])


def test_npz_export_holds_every_array_and_the_parameters_csv_refused(files, capsys):
    out = str(files["dir"] / "img.npz")
    assert main([files["image"], "--export", "AB", "3D", "NONE", "-o", out]) == 0
    with np.load(out) as z:
        np.testing.assert_array_equal(z["spectra"], files["cube"])
        assert z["spectra"].dtype == np.float32 and z["mapX"].shape == (4,)
        assert json.loads(str(z["parameters"]))["NPX"] == 4
        assert json.loads(str(z["meta"]))["class"] == "ImageDataReturn"
    assert main([files["image"], "--export", "AB", "3D", "NONE", "-o", str(files["dir"] / "x.csv")]) == 2
    assert ".npz" in capsys.readouterr().err


@pytest.mark.parametrize("key, request_, code", [
    ("missing", ("AB", "2D", "NONE"), 3), ("text", ("AB", "2D", "NONE"), 4),
    ("single", ("TR", "2D", "NONE"), 5), ("single", ("AB", "4D", "NONE"), 5)])
def test_exit_codes_and_messages(files, capsys, key, request_, code):
    path = str(files["dir"] / "absent.ixar") if key == "missing" else files[key]
    assert main([path, "--params", *request_]) == code
    err = capsys.readouterr().err
    assert err.startswith("ixarkit: ") and path in err


def test_listing_reports_bad_files_and_goes_on(files, capsys):
    assert main([files["text"], files["single"]]) == 4
    captured = capsys.readouterr()
    assert "not an IXAR file" in captured.err and "AB 2D NONE" in captured.out


@pytest.mark.parametrize("name, request_", [
    ("absorbance.ixar", "AB 2D NONE"), ("image.ixar", "AB 3D NONE"), ("image_trc.ixar", "TRC 3D NONE"),
    ("timeseries.ixar", "AB 3D NONE"), ("multiregion.ixar", "AB 3D NONE")])
def test_plots_of_every_family(tmp_path, name, request_):
    pytest.importorskip("matplotlib")
    out = tmp_path / "plot.png"
    assert main([os.path.join(DATA, name), "--plot", *request_.split(), "-o", str(out)]) == 0
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_module_entry_point_runs_on_the_samples():
    proc = subprocess.run([sys.executable, "-m", "ixarkit", os.path.join(DATA, "absorbance.ixar")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "RSC 2D NONE" in proc.stdout
