"""The command line: listing, parameters, export, plots and exit codes."""

import importlib.util
import json
import os
import shutil
import sys

import numpy as np
import pytest

from ixarkit._cli import listing, main
from ixarkit._shared.reading import Source

import ixarkit
import ixarwriter as w
from checks import CountingFile, same
from test_handle import FILES

DATA = os.path.join(os.path.dirname(__file__), "..", "examples", "data")


@pytest.fixture
def files(tmp_path):
    rng = np.random.default_rng(3)
    y = rng.random(50).astype(np.float32)
    single = w.single_spectrum(y, 4000.0, 400.0, extra_params={"DXU": "WN", "SNM": "film"}).write(tmp_path / "single.ixar")
    series = rng.random((4, 6)).astype(np.float32)
    tr = w.time_resolved(series, [0.0, 0.5, 1.0, 1.5], 10.0, 20.0).write(tmp_path / "series.ixar")
    cube = rng.random((3, 4, 5)).astype(np.float32)
    img = w.image_map(cube, 1.0, 2.0).write(tmp_path / "image.ixar")
    (tmp_path / "notes.txt").write_text("not a spectrum file")
    return dict(single=single, y=y, series=tr, spectra=series, image=img, cube=cube,
                text=str(tmp_path / "notes.txt"), dir=tmp_path)


def test_the_listing_says_what_each_data_set_is(files, capsys):
    series = w.trc_series(np.ones((2, 5), np.float32), ["Band A", "Band B"], 0.0, 4.0,
                          extra_params={"DXU": "SEC"}).write(files["dir"] / "trs.ixar")
    assert main([files["text"], files["single"], files["image"], series] + [os.path.join(DATA, n) for n in (
        "image_trc.ixar", "timeseries.ixar", "absorbance.ixar")]) == 4   # a bad file reported, the others listed
    out = capsys.readouterr()
    assert "not an IXAR file" in out.err and "AB 2D NONE" in out.out and "50 points" in out.out
    assert "4000 to 400 cm⁻¹" in out.out and '"film"' in out.out and "4 x 3 points" in out.out
    assert "16 x 12" in out.out and '"Carbonyl area", "Inclusion area", "Carbonyl ratio"' in out.out
    assert "40 spectra" in out.out and "2400 to 1500 cm⁻¹" in out.out and "0 to 9.75 s" in out.out
    assert '"polymer film"' in out.out and '"Band A", "Band B"' in out.out and "0 to 4 s" in out.out
    assert " WN" not in out.out
    assert main([files["single"], "--params", "ab", "2d", "none"]) == 0
    out = capsys.readouterr().out
    assert "SNM" in out and "Sample Name" in out and "film" in out and "Number of Data Points" in out


@pytest.mark.parametrize("name", sorted(os.listdir(DATA)) + list(FILES))   # the samples, and every family
def test_params_give_every_code_its_title(tmp_path, name):
    path = os.path.join(DATA, name) if name.endswith(".ixar") else FILES[name][0].write(tmp_path / "f.ixar")
    for key in ixarkit.listContents(path):
        assert main([path, "--params", *key, "-o", str(tmp_path / "p.json")]) == 0
        table = json.loads((tmp_path / "p.json").read_text(encoding="utf-8"))
        assert set(table["titles"]) == set(table["parameters"]) and all(table["titles"].values()), key
        assert table["parameters"] == ixarkit.open(path)[key].parameters
    assert len(ixarkit.paramDict) == 34 and "NPX" not in ixarkit.paramDict


@pytest.mark.parametrize("name, request_, header, first", [
    ("single", "AB 2D NONE", ["(cm-1)", "(AU)"], None), ("series", "AB 3D NONE", ["(cm-1)", "(AU)"], [0.0, 0.5, 1.0, 1.5]),
    ("traces", "TRC 3D NONE", ["Time (s),a (a.u.),b (a.u.),c (a.u.)"], np.arange(7.0))])
def test_csv_exports_hold_the_values_under_headers_with_units(files, name, request_, header, first):
    traces = np.random.default_rng(5).random((3, 7)).astype(np.float32)
    files["traces"] = w.trc_series(traces, ["a", "b", "c"], 0.0, 6.0, extra_params={"DXU": "SEC"}).write(
        files["dir"] / "t.ixar")
    out = str(files["dir"] / "s.csv")
    assert main([files[name], "--export", *request_.split(), "-o", out]) == 0
    table = np.loadtxt(out, delimiter=",", skiprows=1)
    same(table[:, 1:].astype(np.float32), {"single": files["y"][:, None], "series": files["spectra"], "traces": traces.T}[name])
    assert first is None or np.array_equal(table[:, 0], first)
    with open(out, encoding="utf-8") as fh:
        line = fh.readline()
    assert all(h in line for h in header), line


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
    regions = ixarkit.getIxarData(os.path.join(DATA, "multiregion.ixar"), ("AB", "3D", "NONE")).regions
    assert main([os.path.join(DATA, "multiregion.ixar"), "--export", "AB", "3D", "NONE", "-o", out]) == 0
    with np.load(out) as z:   # each region's arrays, its start times too
        same(*[a for k, r in enumerate(regions) for n in ("spectra", "mapX", "start_time")
               for a in (z[f"region{k}_{n}"], getattr(r, n))])


@pytest.mark.parametrize("key, request_, code, says", [
    ("missing", ("AB", "2D", "NONE"), 3, "No such file"), ("text", ("AB", "2D", "NONE"), 4, "not an IXAR file"),
    ("single", ("TR", "2D", "NONE"), 5, "no data set TR 2D NONE in the file, which holds AB 2D NONE"),
    ("single", ("AB", "4D", "NONE"), 5, "AB 4D NONE: Incorrect dimensions")])
def test_exit_codes_and_messages(files, capsys, key, request_, code, says):
    path = str(files["dir"] / "absent.ixar") if key == "missing" else files[key]
    for argv, needs in ((["--params", *request_], ()), (["--export", *request_, "-o", str(files["dir"] / "x.nc")],
                        ("xarray", "h5netcdf")), (["view", path, *request_, "-o", str(files["dir"] / "v.html")], ("bokeh",))):
        # (the .nc export names a request of no dimension the file holds as a data set it lacks)
        skip = {"view": key in ("missing", "text"), "--export": "4D" in request_}.get(argv[0], False)
        if skip or any(importlib.util.find_spec(m) is None for m in needs):
            continue
        assert main([path, *argv] if argv[0] != "view" else argv) == code
        assert (err := one_line(capsys.readouterr().err)).startswith(f"ixarkit: {path}: ") and says in err, err


@pytest.mark.parametrize("argv, says", [
    (["{image}", "--exprot", "AB", "3D", "NONE"], "unrecognized arguments: --exprot AB 3D NONE (did you mean --export?)"),
    (["view"], "ixarkit view: error: the following arguments are required: FILE\n"),
    # --band and --dpi refused where they mean nothing
    (["{absorbance}", "--plot", "AB 2D NONE", "--band", "1800", "1600", "-o", "{out}"], "--band"),
    (["{image}", "--plot", "AB 3D NONE", "--band", "5000", "6000", "-o", "{out}"], "--band"),
    (["{image}", "--plot", "AB 3D NONE", "--dpi", "0", "-o", "{out}"], "--dpi"),
    (["{image}", "--params", "AB 3D NONE", "--dpi", "100", "-o", "{out}"], "--dpi"),
    # formats of one family: refused before anything is written
    (["{image}", "--export", "AB 3D NONE", "-o", "{tmp}/s.jdx"], "JCAMP-DX holds single spectra"),
    (["{timeseries}", "--export", "AB 3D NONE", "-o", "{tmp}/cube.hdr"], "ENVI holds image cubes"),
    # outputs that cannot be written
    (["{absorbance}", "--export", "AB", "2D", "NONE", "-o", "{tmp}/missing/x.csv"], f"no such directory {{tmp}}{os.sep}missing"),
    (["{absorbance}", "--export", "AB", "2D", "NONE", "-o", "{tmp}/x.xyz"], "--export writes .csv, .npz, .nc"),
    (["{absorbance}", "--plot", "AB", "2D", "NONE", "-o", "{tmp}/x.xyz"], "--plot writes"),
    (["{absorbance}", "--plot", "AB", "2D", "NONE", "-o", "{tmp}"], "--plot writes"),
    (["{absorbance}", "--params", "AB", "2D", "NONE", "-o", "{tmp}/p.csv"], "--params writes .txt or .json files"),
    (["{absorbance}", "-o", "{tmp}/list.png"], "the listing writes .txt files"),
    (["{absorbance}", "--params", "AB", "2D", "NONE", "-o", "{tmp}/taken.txt"], "taken.txt: cannot write"),
    (["{absorbance}", "--export", "AB", "2D", "NONE", "-o", "{tmp}/store.zarr"], "it exists and is not a Zarr store")])
def test_refusals_exit_2_and_write_nothing(tmp_path, capsys, argv, says):
    for module in ["matplotlib"] * ("--plot" in argv) + ["xarray", "zarr"] * argv[-1].endswith(".zarr"):
        pytest.importorskip(module)
    (tmp_path / "taken.txt").mkdir()   # a directory where a file should go, and a folder that holds no Zarr store
    (tmp_path / "store.zarr").mkdir()
    (tmp_path / "store.zarr" / "keep.txt").write_text("mine")
    try:
        code = main([a.format(tmp=tmp_path, out=tmp_path / "p.png", **{n: os.path.join(DATA, f"{n}.ixar") for n in (
            "image", "absorbance", "timeseries")}) for a in argv])
    except SystemExit as e:   # argparse's refusals
        code = e.code
    err = capsys.readouterr().err
    assert code == 2 and says.format(tmp=tmp_path) in err and ("usage:" in err or one_line(err))
    assert sorted(os.listdir(tmp_path)) == ["store.zarr", "taken.txt"] and not os.listdir(tmp_path / "taken.txt")
    assert os.listdir(tmp_path / "store.zarr") == ["keep.txt"] and (tmp_path / "store.zarr" / "keep.txt").read_text() == "mine"


# ------------------------------------------------ honest exits, on damaged copies of the samples

def sample_copy(tmp_path, name, keep=None):
    """A copy of a bundled sample, cut to its first `keep` bytes."""
    path = shutil.copyfile(os.path.join(DATA, name), tmp_path / name)
    if keep is not None:
        os.truncate(path, keep)
    return str(path)


def one_line(err):
    assert len(lines := err.splitlines()) == 1 and lines[0].startswith("ixarkit: "), err
    return lines[0]


@pytest.mark.parametrize("name, keep", [   # shorter than the signature: no IXAR file (4)
    ("absorbance.ixar", 0), ("absorbance.ixar", 1), ("absorbance.ixar", 3), ("absorbance.ixar", 8), ("absorbance.ixar", 24),
    ("absorbance.ixar", 50), ("absorbance.ixar", 9000), ("image.ixar", 100000), ("image_trc.ixar", 3000),
    ("timeseries.ixar", 400), ("multiregion.ixar", 12000)])
@pytest.mark.parametrize("action", [[], ["--params"], ["--export"]])
def test_cut_and_tiny_files_exit_with_one_line(tmp_path, capsys, name, keep, action):
    path = sample_copy(tmp_path, name, keep)
    request = ixarkit.listContents(os.path.join(DATA, name))[-1] if action else ()
    argv = [path, *action, *request] + (["-o", str(tmp_path / "x.npz")] if "--export" in action else [])
    assert main(argv) == (4 if keep < 4 else 1)
    assert path in one_line((captured := capsys.readouterr()).err) and "0 data sets" not in captured.out
    assert not (tmp_path / "x.npz").exists()


def damaged(tmp_path, damage):
    """A data set a file lists and cannot give whole, in a file of its own."""
    sp = np.arange(12, dtype=np.float32).reshape(3, 4)
    if damage == "time cut":   # the last z value runs past the end of the file
        return w.time_resolved(sp, [1.0, 2.0, 3.0], 1, 2, info_size=140).write(tmp_path / "d.ixar")
    f = w.image_map(sp.reshape(1, 3, 4), 1, 2, info_size=0, block_kw={"block_size": 8})
    if damage == "no data block":
        f.entries = [e for e in f.entries if e[0] != w.block_type(data=w.D_AB, extend=w.EXT_3D)]
        return f.write(tmp_path / "d.ixar")
    (tmp_path / "d.ixar").write_bytes(f.tobytes()[:-24])   # the last spectrum half in the file
    return str(tmp_path / "d.ixar")


@pytest.mark.parametrize("damage", ["time cut", "spectrum cut", "no data block"])
@pytest.mark.parametrize("ext", [".npz", ".csv", ".nc", ".zarr", ".jdx", ".hdr"])
@pytest.mark.parametrize("existing, chunked", [(False, False), (True, False), (True, True)])
def test_exports_of_a_damaged_data_set_fail_alike(tmp_path, capsys, monkeypatch, damage, ext, existing, chunked):
    if ext in (".nc", ".zarr"):
        pytest.importorskip("h5netcdf" if ext == ".nc" else "zarr")
    monkeypatch.setattr("ixarkit._cli.export.CHUNKED_BYTES", -1 if chunked else 1 << 40)   # read while writing
    path, out = damaged(tmp_path, damage), tmp_path / f"x{ext}"
    if existing:   # an earlier output stays as it was
        (earlier := out / "zarr.json" if ext == ".zarr" else out).parent.mkdir(exist_ok=True)
        earlier.write_text("earlier")
    assert main([path, "--export", "AB", "3D", "NONE", "-o", str(out)]) == 1
    # after a progress line, when written chunk by chunk
    assert "damaged file: AB 3D NONE" in one_line(capsys.readouterr().err.split("%\n")[-1])
    assert sorted(os.listdir(tmp_path)) == ["d.ixar"] + [out.name] * existing
    assert not existing or earlier.read_text() == "earlier"


def test_failed_reads_are_shown_on_request_and_the_library_is_untouched(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    path = sample_copy(tmp_path, "absorbance.ixar", 8)
    assert main([path, "--verbose"]) == 1 and "Exception ignored in" in capsys.readouterr().err
    assert ixarkit.listContents(path) == []   # the library still reports each failed read itself
    assert capsys.readouterr().err.count("Exception ignored in") == 4   # (a file shorter than the signature: test_container)


@pytest.mark.parametrize("name, request_", [("absorbance.ixar", "RSC 2D NONE"), ("derivative.ixar", "AB 2D 1DER")])
def test_jcamp_dx_export_reads_back_equal(tmp_path, name, request_):
    jcamp = pytest.importorskip("jcamp")
    path, out = os.path.join(DATA, name), tmp_path / "s.jdx"
    assert main([path, "--export", *request_.split(), "-o", str(out)]) == 0
    got, want = jcamp.readfile(str(out)), ixarkit.getIxarData(path, tuple(request_.split()))
    same(np.asarray(got["y"], np.float32), want.y)
    np.testing.assert_allclose(got["x"], want.x, rtol=1e-9)
    assert (str(got["jcamp-dx"]), got["data type"], got["xunits"]) == ("4.24", "INFRARED SPECTRUM", "1/CM")
    text = out.read_text(encoding="ascii")
    assert all(len(line) <= 80 for line in text.splitlines()) and "##$NPT=1867" in text
    assert f"##DELTAX={(want.x[-1] - want.x[0]) / (len(want.x) - 1):.10g}\n" in text


def test_envi_export_reads_back_equal(tmp_path):
    envi = pytest.importorskip("spectral.io.envi")
    path, out = os.path.join(DATA, "image.ixar"), tmp_path / "cube.hdr"
    want = ixarkit.getIxarData(path, ("AB", "3D", "NONE"))
    assert main([path, "--export", "AB", "3D", "NONE", "-o", str(out)]) == 0
    assert sorted(os.listdir(tmp_path)) == ["cube.hdr", "cube.img"]
    img = envi.open(str(out))
    same(np.asarray(img.load(), np.float32), want.spectra)
    np.testing.assert_allclose(img.bands.centers, want.x, rtol=1e-9)
    assert img.bands.band_unit == "Wavenumber" and img.metadata["interleave"] == "bip"


def test_every_option_writes_to_its_output(tmp_path, capsys):
    path = os.path.join(DATA, "absorbance.ixar")
    for out in ("p.txt", "list.txt"):   # (JSON: test_params_give_every_code_its_title)
        assert main([path] + ["--params", "AB", "2D", "NONE"] * (out == "p.txt") + ["-o", str(tmp_path / out)]) == 0
    assert capsys.readouterr().out == ""
    assert "Sample Name" in (tmp_path / "p.txt").read_text(encoding="utf-8") and "RSC 2D NONE" in (tmp_path / "list.txt").read_text(encoding="utf-8")


def test_version(capsys):
    e = pytest.raises(SystemExit, main, ["--version"])
    assert e.value.code == 0 and capsys.readouterr().out.split() == ["ixarkit", ixarkit.__version__]


def test_the_listing_reads_layouts_not_values(tmp_path, monkeypatch, capsys):
    # The same lines as from whole reads, from the layouts and the labels and times alone.
    paths = sorted(os.path.join(DATA, n) for n in os.listdir(DATA)) + [
        made.write(tmp_path / f"{name}.ixar") for name, (made, _, _) in FILES.items()]
    monkeypatch.setattr(listing, "_open", lambda path: None)  # every data set read whole
    want = [(main([p]), capsys.readouterr().out) for p in paths]
    monkeypatch.undo()
    delivered = {}

    def counted(path):
        delivered[path] = CountingFile(open(path, "rb").read())
        return ixarkit.open(delivered[path])
    monkeypatch.setattr(listing, "_open", counted)
    monkeypatch.setattr(Source, "read", lambda *a: pytest.fail("a whole read"))
    assert [(main([p]), capsys.readouterr().out) for p in paths] == want
    for p in paths:
        with ixarkit.open(p) as f:
            values = sum(f[k].nbytes for k in f)
        assert values < 16384 or delivered[p].read_bytes < values / 2, (p, delivered[p].read_bytes, values)


def test_check_reads_every_value_in_pieces(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(listing, "CHECK_PIECE", 4096)  # many pieces, and their progress shown at once
    monkeypatch.setattr(listing, "CHECK_QUIET", 0)
    read = []
    monkeypatch.setattr(ixarkit.DataBlock, "__getitem__", lambda self, i, get=ixarkit.DataBlock.__getitem__: (
        read.append(i), get(self, i))[1])
    assert main([os.path.join(DATA, "image.ixar"), "--check"]) == 0
    assert len(read) == 12 and read[0] == slice(0, 1) and "checking" in capsys.readouterr().err
    cut = sample_copy(tmp_path, "absorbance.ixar", os.path.getsize(os.path.join(DATA, "absorbance.ixar")) - 100)
    assert main([cut, "--check"]) == 1 and "damaged" in capsys.readouterr().out


# ------------------------------------------------ plots and exports

@pytest.fixture
def figures(monkeypatch):
    """The figures the command line draws, kept open for inspection."""
    plt = pytest.importorskip("matplotlib.pyplot")
    kept = []
    monkeypatch.setattr(plt, "close", lambda fig=None: kept.append(fig))
    yield kept
    monkeypatch.undo()
    plt.close("all")


def drawn(tmp_path, figures, name, request_):
    assert main([os.path.join(DATA, name), "--plot", *request_.split(), "-o", str(tmp_path / "p.png")]) == 0
    fig = figures[-1]
    texts = [fig._suptitle.get_text() if fig._suptitle else ""] + [ax.get_title() for ax in fig.axes]
    assert any(name in t for t in texts)
    for ax in fig.axes:   # plots and colour bars: every axis labelled with its unit, but a ratio's
        labels = [lb for lb in (ax.get_xlabel(), ax.get_ylabel()) if lb]
        assert labels and all(lb.endswith(")") != ("ratio" in lb) for lb in labels), labels
    return fig


@pytest.mark.parametrize("name, request_, options, bars", [
    ("image.ixar", "AB 3D NONE", ["--band", "1800", "1650", "--dpi", "40"], ["Integrated absorbance (AU·cm⁻¹)"]),
    ("multiregion.ixar", "AB 3D NONE", ["--band", "1650", "1800"], ["Integrated absorbance (AU·cm⁻¹)"]),
    ("image_trc.ixar", "TRC 3D NONE", [], ["Carbonyl area (a.u.)", "Inclusion area (a.u.)", "Carbonyl ratio"]),
    ("absorbance.ixar", "AB 2D NONE", [], []), ("timeseries.ixar", "AB 3D NONE", [], None)])
def test_plots_bars_bands_resolution_and_geometry(tmp_path, figures, name, request_, options, bars):
    fig = drawn(tmp_path, figures, name, request_ + " " + " ".join(options))
    cbars = [ax for ax in fig.axes if hasattr(ax, "_colorbar")]
    maps = [ax for ax in fig.axes if ax.get_images() or ax.collections and ax not in cbars]
    assert bars is None or [ax.get_ylabel() for ax in cbars] == bars and len(maps) == len(cbars)
    for m, bar in zip(maps, cbars) if bars else ():   # as tall as the map's box, beside it (not a heat map's)
        assert np.allclose([bar.get_position().y0, bar.get_position().height],
                           [m.get_position().y0, m.get_position().height], atol=1e-9)
        assert 0 < bar.get_position().x0 - m.get_position().x1 < 0.05
        assert all(t.get_fontsize() >= 10 for t in m.texts)   # region titles
    dpi = int(options[options.index("--dpi") + 1]) if "--dpi" in options else 110
    with open(tmp_path / "p.png", "rb") as fh:
        assert int.from_bytes(fh.read(24)[16:20], "big") == round(fig.get_figwidth() * dpi)
    r, ax = ixarkit.getIxarData(os.path.join(DATA, name), tuple(request_.split())), fig.axes[0]
    if "--band" in options:
        inside = (r.x >= 1650) & (r.x <= 1800)
        with ixarkit.open(os.path.join(DATA, name)) as f:
            want = f[request_].band(1650, 1800)   # the one band integral, the viewer's too
        got = maps[0].get_images()[0].get_array() if maps[0].get_images() else np.concatenate(
            [c.get_array() for c in maps[0].collections if len(c.get_paths())])
        np.testing.assert_array_equal(np.asarray(got).ravel(), want.ravel())
        assert f"{r.x[inside][0]:g}–{r.x[inside][-1]:g} cm⁻¹" in " ".join(ax.get_title() for ax in fig.axes)
    images = [im for ax in fig.axes for im in ax.get_images()]
    if name.startswith("image"):   # each pixel its whole step, at equal aspect
        assert images and all(im.get_extent() == [-425.0, 375.0, -325.0, 275.0] for im in images)
        assert all(im.axes.get_aspect() == 1.0 for im in images)
    elif name.startswith("multi"):   # a value per point, at equal aspect, titled by region
        values = np.concatenate([c.get_array() for c in ax.collections if len(c.get_paths())])
        assert values.size == 17 and np.unique(values).size > 1 and ax.get_aspect() == 1.0
        assert {t.get_text() for t in ax.texts} == {g.title for g in r.regions}
    else:   # spectra: wavenumbers decrease left to right
        assert ax.get_xlim()[0] > ax.get_xlim()[1]


@pytest.mark.parametrize("name, options", [("image.ixar", ["--band", "1800", "1650"]), ("image.ixar", []),
                                           ("multiregion.ixar", ["--band", "1650", "1800"])])
def test_map_plots_read_in_pieces_and_draw_the_same(tmp_path, monkeypatch, name, options):
    # Maps of integrated intensity from bands of columns and the mean from pieces of rows, never the
    # whole data set at once: the same picture, pixel for pixel, as from the whole read.
    pytest.importorskip("matplotlib")
    path, argv = os.path.join(DATA, name), ["--plot", "AB", "3D", "NONE", "-o"]
    monkeypatch.setattr("ixarkit._cli.plots.plotted", lambda src, request: Source.read(src, request))
    assert main([path, *argv, str(tmp_path / "whole.png"), *options]) == 0
    monkeypatch.undo()
    monkeypatch.setattr("ixarkit._band.CHUNK", 4096)
    pieces = []
    monkeypatch.setattr(ixarkit.DataBlock, "_outer", lambda self, *a, get=ixarkit.DataBlock._outer: (
        pieces.append(get(self, *a)), pieces[-1])[1])
    monkeypatch.setattr(Source, "read", lambda *a: pytest.fail("a whole read"))
    assert main([path, *argv, str(tmp_path / "pieces.png"), *options]) == 0
    from PIL import Image
    same(np.asarray(Image.open(tmp_path / "pieces.png")), np.asarray(Image.open(tmp_path / "whole.png")))
    with ixarkit.open(path) as f:
        assert pieces and max(p.nbytes for p in pieces) < f["AB", "3D", "NONE"].nbytes / 2
