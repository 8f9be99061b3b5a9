"""ixarkit view: what it reads (bands, pixels, squares) and the served
documents' handlers without a browser; every family's static page and the
served maps in headless Chromium, checked by the values their plots hold
after real clicks, hovers, drags and band changes; damaged data sets, busy
ports, missing browsers and missing Bokeh."""

import asyncio
import contextlib
import os
import queue
import shutil
import socket
import sys
import threading
import time

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import same
from ixarkit._cli import main

pytest.importorskip("bokeh")
from bokeh.document import Document  # noqa: E402
from bokeh.models import ColorBar, HoverTool  # noqa: E402

from ixarkit._view import app, data as D  # noqa: E402

DATA = os.path.join(os.path.dirname(__file__), "..", "examples", "data")
RNG = np.random.default_rng(22)
CUBE = RNG.random((5, 7, 40)).astype(np.float32)
SERIES = RNG.random((9, 30)).astype(np.float32)
MR = RNG.random((7, 24)).astype(np.float32)
MR_ROWS = (w.region_rows(3, [(100.0 + 4 * i, 50.0 + 4 * j) for j in range(2) for i in range(2)], 0, nx=2, ny=2,
                         name="grid") + w.region_rows(1, [(10.0, 10.0), (30.0, 12.0), (20.0, 40.0)], 4))
TRACES = RNG.random((5, 7, 4)).astype(np.float32)
LABELS = ["carbonyl", "amide", "ratio", "ester"]
MAKERS = {
    "single": lambda: w.single_spectrum(SERIES[0], 4000.0, 400.0, extra_params={"DXU": "WN", "SNM": "film"}),
    "image": lambda: w.image_map(CUBE, 4000.0, 400.0, aox=10.0, aoy=-20.0, ddx=2.5, ddy=-1.5,
                                 extra_params={"DXU": "WN"}),
    "image-traces": lambda: w.image_trc_map(TRACES, LABELS, aox=-5.0, ddx=1.0, ddy=2.0),
    "time-resolved": lambda: w.time_resolved(SERIES, 0.5 * np.arange(9), 2400.0, 1500.0, extra_params={"DXU": "WN"}),
    "time-resolved-traces": lambda: w.trc_series(RNG.random((12, 20)).astype(np.float32), [f"t{k}" for k in range(12)]),
    "multi-region": lambda: w.multi_region(MR, MR_ROWS, 3000.0, 1000.0, extra_params={"DXU": "WN"}),
    "multi-region-traces": lambda: w.multi_region(MR, [r[:5] + (r[5] + 1,) + r[6:] for r in MR_ROWS], 0.0, 1.0,
                                                  data_type=w.D_TRC, labels=[f"band {k}" for k in range(7)]),
}


def write(family, folder):
    return MAKERS[family]().write(os.path.join(folder, f"{family}.ixar"))


# ---------------------------------------------------------------- without a browser

def test_weights_bands_and_chunks(tmp_path):
    v = np.array([[1, 2, 3, 4], [4, 3, 2, 1]], np.float32)
    same(D.band_integral(v, D.weights([0.0, 1, 2, 3])), np.array([7.5, 7.5], np.float32))
    x = np.linspace(4000.0, 400.0, 40)
    assert D.band_indices(x, 3000.0, 2000.0) == D.band_indices(x, 2000.0, 3000.0) == (11, 22)
    assert D.band_indices(x, 3001.0, 3002.0) == (11, 12)  # none inside: the nearest point
    with ixarkit.open(write("image", tmp_path)) as f:
        block = f["AB", "3D", "NONE"]
        for first, stop in [(0, 40), (10, 20), (39, 40)]:
            want = D.band_integral(CUBE[:, :, first:stop], D.weights(x[first:stop]))
            same(D.band_map(block, first, stop), want, D.band_map(block, first, stop, budget=1), want)
        assert [(a, b) for a, b, _ in D.band_map_chunks(block, 0, 40, budget=2 * 7 * 40 * 4)] == [(0, 2), (2, 4), (4, 5)]


def test_geometry_of_images_and_regions(tmp_path):
    with ixarkit.open(write("image", tmp_path)) as f:
        gx, gy = D.image_grids(f["AB", "3D", "NONE"])
    assert (gx, gy) == ((10.0, 2.5, 7), (-20.0, -1.5, 5))
    assert D.placement(gx, gy) == dict(x=8.75, y=-26.75, dw=17.5, dh=7.5, origin="top_left")
    assert [D.index_at(gy, v) for v in (-20.7, -21.6, -26.6, -19.3, -19.2, -26.8)] == [0, 1, 4, 0, None, None]
    with ixarkit.open(write("multi-region", tmp_path)) as f:
        geo = D.regions(f["AB", "3D", "NONE"])
    # regions in group order: the loose points (group 1) first, then the 2 x 2 grid of step 4
    same(geo["x"], np.array([10.0, 30, 20, 100, 104, 100, 104]), geo["side"], np.array([20.0] * 3 + [4.0] * 4))
    assert geo["titles"] == ["Region 1 (3 points)", "Region 3 (2 x 2)"]
    assert geo["title"] == geo["titles"][:1] * 3 + geo["titles"][1:] * 4
    for (x0, y0, x1, y1), members in zip(geo["outlines"], ([0, 1, 2], [3, 4, 5, 6])):
        assert np.all((geo["x"][members] > x0) & (geo["x"][members] < x1) & (geo["y"][members] > y0)
                      & (geo["y"][members] < y1))


@pytest.mark.parametrize("cut, code", [(40, 0), (None, 1)], ids=["one-damaged", "all-damaged"])
def test_static_pages_of_damaged_files(tmp_path, capsys, cut, code):
    # A damaged data set beside sound ones: a warning, and the page; nothing sound: exit 1 and no page.
    data = w.single_spectrum(SERIES[1], 10.0, 1.0, data_type=w.D_SC, sample=1, f=MAKERS["image"]()).tobytes()
    (path := tmp_path / "cut.ixar").write_bytes(data[:-cut] if cut else data[:600])
    out = tmp_path / "page.html"
    assert main(["view", str(path), "-o", str(out)]) == code
    assert (err := capsys.readouterr().err.splitlines())[0].startswith(f"ixarkit: {'warning: ' if cut else ''}{path}: damaged file: "), err
    assert out.exists() == (code == 0)
    if out.exists():  # for sharing: the file by its name, not where it lies here
        page = out.read_text(encoding="utf-8")
        assert "cut.ixar: damaged file: SSC 2D NONE" in page and str(tmp_path) not in page


def test_command_line_failures(tmp_path, monkeypatch, capsys):
    path = write("image", tmp_path)
    with socket.create_server(("127.0.0.1", 0)) as busy:
        assert main(["view", path, "--port", str(port := busy.getsockname()[1]), "--no-browser"]) == 2
    import webbrowser

    def no_browser(*a):
        raise webbrowser.Error("none")
    monkeypatch.setattr(webbrowser, "get", no_browser)
    assert main(["view", path, "--port", "0"]) == 2
    monkeypatch.setattr(D, "STATIC_LIMIT", CUBE.nbytes - 1)
    assert main(["view", path, "-o", str(tmp_path / "v.html")]) == 2
    (tmp_path / "notes.txt").write_text("not a map")
    assert [main(["view", str(tmp_path / name)]) for name in ("absent.ixar", "notes.txt")] == [3, 4]
    monkeypatch.setitem(sys.modules, "bokeh", None)
    assert main(["view", path]) == 2
    err = capsys.readouterr().err.splitlines()
    assert "No such file" in err[3] and "not an IXAR file" in err[4]
    del err[3:5]   # (a data set the file lacks: test_cli)
    assert len(err) == 4 and f"port {port} on 127.0.0.1 is already in use" in err[0] and "no web browser found" in err[1]
    assert "5.6 MB" not in err[2] and "AB 3D NONE holds 0.0 MB of values" in err[2] and "ixarkit view" in err[2]
    assert err[3] == 'ixarkit: ixarkit view needs bokeh: pip install "ixarkit[view]"'
    assert not (tmp_path / "v.html").exists()


def test_serves_its_url_and_nothing_else(tmp_path):
    import subprocess
    import urllib.error
    import urllib.request
    path = write("single", tmp_path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-m", "ixarkit", "view", path, "--port", "0", "--no-browser"],
                            stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline()
        url = line.split(" at ")[1].split()[0]
        assert url.startswith("http://127.0.0.1:") and line.startswith(f"ixarkit view: serving {path}")
        with urllib.request.urlopen(url, timeout=20) as page:
            assert page.status == 200 and b"bokeh" in page.read()
        for elsewhere in ("x", "static/../../../etc/passwd", "ws"):
            e = pytest.raises(urllib.error.HTTPError, urllib.request.urlopen, url + elsewhere, timeout=20)
            assert e.value.code in (400, 403, 404)
    finally:
        proc.terminate()
        proc.wait(20)


def test_documents_of_long_series_and_of_every_data_set(tmp_path, monkeypatch):
    """A served document as the server builds it: a long series' heat map
    shows one spectrum in k, clicks still read the spectrum clicked; a
    static page without a data set named holds every data set, one tab each."""
    monkeypatch.setattr(D, "SERIES_ROWS", 4)
    path = write("time-resolved", tmp_path)
    with ixarkit.open(path) as f:
        app.served(doc := Document(), f, path)
        same(doc.get_model_by_name("map").data["image"][0], SERIES[::3])
        doc.get_model_by_name("pick").data = dict(i=[4], j=[7])
        same(doc.get_model_by_name("spectrum").data["y"], SERIES[4], doc.get_model_by_name("profile").data["y"],
             SERIES[:, 7])
        assert "(one spectrum in 3)" in doc.get_model_by_name("map-figure").title.text
    sample = os.path.join(DATA, "image_trc.ixar")
    with ixarkit.open(sample) as f:   # a trace's colour bar has its unit, a ratio none
        app.served(doc := Document(), f, sample)
        assert (bar := doc.select_one({"type": ColorBar})).title == "Carbonyl area (a.u.)"
        doc.get_model_by_name("trace").value = "2"
        assert bar.title == "Carbonyl ratio"
    assert main(["view", os.path.join(DATA, "absorbance.ixar"), "-o", str(out := tmp_path / "all.html")]) == 0
    page = out.read_text(encoding="utf-8")
    assert page.count('"name":"TabPanel"') == 3 and all(f'"title":"{t} 2D NONE"' in page for t in ("AB", "SSC", "RSC"))


@pytest.mark.parametrize("family, changes, name, col, want", [
    ("single", {}, "spectrum", "y", lambda v: v),
    ("image-traces", {"trace": ("value", "2")}, "map", "image", lambda v: v[:, :, 2]),
    ("image-traces", {"pick": ("data", dict(i=[1], j=[6]))}, "values", "value", lambda v: v[1, 6]),
    ("time-resolved-traces", {"traces": ("value", ["11", "4"])}, "lines", "ys", lambda v: v[[4, 11]]),
    ("multi-region-traces", {"trace": ("value", "3")}, "points", "value", lambda v: v[:, 3]),
    ("multi-region-traces", {"points": ("selected.indices", [2])}, "values", "value", lambda v: v[2])])
def test_served_documents_follow_their_widgets(tmp_path, family, changes, name, col, want):
    path = write(family, tmp_path)
    with ixarkit.open(path) as f:
        app.served(doc := Document(), f, path)
        for model, (attr, value) in changes.items():
            target, _, attr = f"{model}.{attr}".rpartition(".")
            model = doc.get_model_by_name(model)
            setattr(model.selected if target.endswith("selected") else model, attr, value)
        got = doc.get_model_by_name(name).data[col]
        same(np.array(got[0] if col == "image" else got, np.float32), want(np.asarray(f[next(iter(f))])))


def test_block_view_shows_the_app_in_a_notebook(tmp_path, monkeypatch):
    shown = []
    monkeypatch.setattr("bokeh.io.show", lambda viewer, **kw: shown.append(viewer))
    monkeypatch.setattr("bokeh.io.output_notebook", lambda **kw: None)
    with ixarkit.open(write("image", tmp_path)) as f:
        pytest.raises(RuntimeError, f["ab", "3d", "none"].view).match(
            "in a Jupyter notebook; elsewhere run: ixarkit view .*image.ixar AB 3D")
        monkeypatch.setattr("ixarkit._view._in_notebook", lambda: True)
        viewer = f["ab", "3d", "none"].view()
        doc = viewer.create_document()
    assert shown == [viewer] and doc.get_model_by_name("picker").value == "AB 3D NONE"
    same(doc.get_model_by_name("spectrum").data["y"], CUBE[2, 3])
    assert [t[0] for t in doc.get_model_by_name("map-figure").select_one({"type": HoverTool}).tooltips] == [
        "x (µm)", "y (µm)", "value"]


# ---------------------------------------------------------------- in a browser

@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    binary = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
    driver = shutil.which("chromedriver")
    if not binary or not driver:
        # .ci/run installs them: their absence is a fault there
        (pytest.fail if os.environ.get("IXARKIT_BROWSER_TESTS") == "required" else pytest.skip)("no chromium and chromedriver")
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,1000"):
        options.add_argument(arg)
    options.binary_location = binary
    d = webdriver.Chrome(options=options, service=Service(driver))
    yield d
    d.quit()


@contextlib.contextmanager
def serving(path, key=None):
    """The viewer of path served on a free port of 127.0.0.1 by a thread; its URL."""
    from ixarkit._view import make_server
    ready = queue.Queue()

    def run():
        asyncio.set_event_loop(asyncio.new_event_loop())
        f = ixarkit.open(path)
        try:
            server = make_server(f, path, key, port=0)
            server.start()
        except BaseException as e:
            ready.put(e)
            raise
        ready.put(server)
        server.io_loop.start()
        server.stop()
        f.close()
    (thread := threading.Thread(target=run, daemon=True)).start()
    server = ready.get(timeout=30)
    if isinstance(server, BaseException):
        raise server
    try:
        yield server.url
    finally:
        server.io_loop.add_callback(server.io_loop.stop)
        thread.join(10)


class Page:
    def __init__(self, driver, url, shot):
        self.d = driver
        driver.get(url)
        self.wait(lambda: self.d.execute_script(
            "return window.Bokeh !== undefined && Bokeh.documents.length > 0 && Bokeh.index.roots.length > 0 "
            "&& Bokeh.index.roots.every(v => v.is_idle)"), "the page to render")
        time.sleep(0.3)
        driver.save_screenshot(str(shot))
        from PIL import Image
        pixels = np.asarray(Image.open(shot).convert("RGB")).reshape(-1, 3)
        assert (pixels.min(axis=1) < 200).mean() > 0.005 and len(np.unique(pixels, axis=0)) > 32, "blank page"

    def wait(self, ready, what):
        end = time.monotonic() + 20
        while time.monotonic() < end:
            with contextlib.suppress(Exception):
                if ready():
                    return
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}")

    def js(self, code, *args):
        """Runs code with doc and named(name): the model of that name in what the page shows."""
        return self.d.execute_script("""const doc = Bokeh.documents[0];
            const named = (name) => [...new Set(doc.roots().flatMap(r => [...r.references()]))].find(m => m.name == name);
            """ + code, *args)

    def column(self, name, col):
        """A column of a named source as float32 (an image column: its image, flattened)."""
        values = self.js(f"return Array.from(named('{name}').data['{col}']{'[0]' if col == 'image' else ''})")
        return np.array([np.nan if v is None else v for v in values], np.float32)

    def shows(self, name, col, want):
        """Waits until the source shows want (bit for bit)."""
        want = np.ascontiguousarray(want, np.float32).ravel()
        self.wait(lambda: self.column(name, col).tobytes() == want.tobytes(), f"{name}.{col} to show the expected values")

    def set(self, name, attr, value):
        self.js(f"named('{name}').{attr} = arguments[0]", value)

    def pointer(self, figure, *path, press=False, nudge=0):
        """Real pointer moves through data coordinates (x, y; y None: mid-height) of a figure (the first
        `nudge` pixels to the right), then a click (press None) or the button held along them (a drag)."""
        from selenium.webdriver.common.actions.action_builder import ActionBuilder
        actions = ActionBuilder(self.d)
        for k, (x, y) in enumerate(path):
            at = self.js(f"""const v = Bokeh.index.find_one(named('{figure}')), s = arguments[1];
                const r = v.canvas_view.el.getBoundingClientRect(), f = v.frame.bbox;
                return [r.left + v.frame.x_scale.compute(arguments[0]),
                        r.top + (s === null ? f.top + f.height / 2 : v.frame.y_scale.compute(s))];""", x, y)
            actions.pointer_action.move_to_location(round(at[0]) + nudge * (k == 0), round(at[1]))
            if press and k == 0:
                actions.pointer_action.pointer_down()
        if press:
            actions.pointer_action.pointer_up()
        elif press is None:
            actions.pointer_action.click()
        actions.perform()

    def click(self, x, y, figure="map-figure"):
        self.pointer(figure, (x, y), press=None)

    def hovers(self, x, y, want):
        """The pointer resting at (x, y) of the map shows want (to 4 digits) as the value in its tooltip."""
        self.pointer("map-figure", (x, y), (x, y), nudge=1)
        shown = lambda: self.d.execute_script("""  // noqa: E731
            const texts = [], visit = (root) => root.querySelectorAll("*").forEach(e => {
                if (e.shadowRoot) visit(e.shadowRoot);
                if (e.classList.contains("bk-tooltip-row-value") || e.classList.contains("bk-tooltip-value"))
                    texts.push(e.textContent); });
            visit(document); return texts;""")
        value = f"{float(f'{want:.4g}'):g}"
        self.wait(lambda: value in [t.strip() for t in shown()], f"the tooltip to show {value} (it shows {shown()})")


def expected(path):
    with ixarkit.open(path) as f:
        block = f[next(iter(f))]
        return block, np.asarray(block), block.coords


def check_image(page, block, cube, c):
    x = c[block.dims[-1]]
    page.shows("map", "image", D.band_integral(cube, D.weights(x)))
    page.hovers(c["x"][5], c["y"][1], D.band_integral(cube, D.weights(x))[1, 5])  # its y axis runs downwards
    page.shows("spectrum", "y", cube[2, 3])
    page.click(c["x"][5], c["y"][1])
    page.shows("spectrum", "y", cube[1, 5])
    page.click(c["x"][0] - 1.0, c["y"][4] + 0.6)  # inside the outer pixel, off its centre
    page.shows("spectrum", "y", cube[4, 0])
    page.set("band", "data", {"lo": [x[10]], "hi": [x[19]]})
    page.shows("map", "image", D.band_integral(cube[:, :, 10:20], D.weights(x[10:20])))
    page.set("band", "data", {"lo": [x[30]], "hi": [x[30]]})
    page.shows("map", "image", cube[:, :, 30])
    page.pointer("spectrum-figure", *[(x[5] + (x[25] - x[5]) * k / 5, None) for k in range(6)], press=True)  # a drag
    page.wait(lambda: page.js("return named('band').data.lo[0]") != x[30], "the dragged band")
    first, stop = D.band_indices(x, page.js("return named('band').data.lo[0]"), page.js("return named('band').data.hi[0]"))
    assert abs(first - 5) <= 1 and abs(stop - 26) <= 1
    page.shows("map", "image", D.band_integral(cube[:, :, first:stop], D.weights(x[first:stop])))


def check_image_traces(page, block, cube, c):
    page.shows("map", "image", cube[:, :, 0])
    page.set("trace", "value", "2")
    page.shows("map", "image", cube[:, :, 2])
    page.hovers(c["x"][6], c["y"][3], cube[3, 6, 2])
    page.click(c["x"][6], c["y"][0])
    page.shows("values", "value", cube[0, 6])


def check_series(page, block, spectra, c):
    x, t = c[block.dims[-1]], c["time"]
    page.shows("map", "image", spectra)
    page.hovers(x[23], t[6], spectra[6, 23])  # the x axis runs from high to low wavenumbers
    page.click(x[17], t[7], "map-figure")
    page.shows("spectrum", "y", spectra[7])
    page.shows("profile", "y", spectra[:, 17])


def check_traces(page, block, traces, c):
    assert page.js("return named('lines').data.label") == [f"t{k}" for k in range(10)]
    page.set("traces", "value", ["11", "4"])
    page.wait(lambda: page.js("return named('lines').data.label") == ["t4", "t11"], "traces 4, 11")
    same(np.array(page.js("return named('lines').data.ys.map(y => Array.from(y))"), np.float32), traces[[4, 11]])


def check_regions(page, block, spectra, c):
    x = c[block.dims[-1]]
    page.shows("points", "value", D.band_integral(spectra, D.weights(x)))
    page.click(c["mapX"][5], c["mapY"][5])
    page.shows("spectrum", "y", spectra[5])
    page.set("band", "data", {"lo": [x[3]], "hi": [x[8]]})
    page.shows("points", "value", D.band_integral(spectra[:, 3:9], D.weights(x[3:9])))


def check_region_traces(page, block, values, c):
    page.shows("points", "value", values[:, 0])
    page.set("trace", "value", "3")
    page.shows("points", "value", values[:, 3])
    page.click(c["mapX"][2], c["mapY"][2])
    page.shows("values", "value", values[2])


CHECKS = {"single": lambda page, block, y, c: page.shows("spectrum", "y", y), "image": check_image, "image-traces": check_image_traces,
          "time-resolved": check_series, "time-resolved-traces": check_traces, "multi-region": check_regions,
          "multi-region-traces": check_region_traces}


# Every family's static page (each its own script), and served: clicks, hovers, drags and bands on a map of
# pixels and one of points (the other families' served handlers: test_served_documents_follow_their_widgets).
@pytest.mark.parametrize("family, served", [(f, False) for f in MAKERS] + [("image", True), ("multi-region", True)])
def test_families_in_a_browser(family, served, browser, tmp_path):
    path, out = write(family, tmp_path), str(tmp_path / "view.html")
    assert served or main(["view", path, "-o", out]) == 0
    with serving(path) if served else contextlib.nullcontext("file://" + out) as url:
        CHECKS[family](Page(browser, url, tmp_path / "page.png"), *expected(path))


def test_a_picker_and_a_damaged_data_set_served(browser, tmp_path):
    f = w.image_map(CUBE, 4000.0, 400.0)
    w.single_spectrum(SERIES[1], 10.0, 1.0, data_type=w.D_SC, sample=1, f=f)
    w.single_spectrum(SERIES[2], 10.0, 1.0, data_type=w.D_SC, sample=2, f=f)
    (path := tmp_path / "damaged.ixar").write_bytes(f.tobytes()[:-40])  # the reference channel cut short
    with serving(str(path), ("SSC", "2D", "NONE")) as url:
        page = Page(browser, url, tmp_path / "damaged.png")
        assert page.js("return named('picker').options") == ["AB 3D NONE", "SSC 2D NONE", "RSC 2D NONE"]
        page.shows("spectrum", "y", SERIES[1])
        page.set("picker", "value", "RSC 2D NONE")
        page.wait(lambda: all(t in page.js("return named('damaged').text") for t in ("RSC 2D NONE", "damaged file")),
                  "the message")
        page.set("picker", "value", "AB 3D NONE")
        page.shows("spectrum", "y", CUBE[2, 3])


def test_band_maps_of_large_data_sets_in_chunks(browser, tmp_path, monkeypatch):
    """A data set above the size read whole: the first picture reads one
    record, the band map comes in chunks with a progress bar, and a band
    chosen while another computes ends as the later band's map."""
    monkeypatch.setattr(D, "SMALL", 1000)
    monkeypatch.setattr(D, "CHUNK", 7 * 40 * 4)  # a row of the map a chunk
    block, cube, c = expected(path := write("image", tmp_path))
    x = c["wavenumber"]
    with serving(path) as url:
        page = Page(browser, url, tmp_path / "chunks.png")
        page.shows("map", "image", D.band_integral(cube, D.weights(x)))
        page.wait(lambda: page.js("return named('progress').text") == "", "the progress bar to go")
        page.set("band", "data", {"lo": [x[0]], "hi": [x[30]]})
        page.set("band", "data", {"lo": [x[5]], "hi": [x[12]]})
        page.shows("map", "image", D.band_integral(cube[:, :, 5:13], D.weights(x[5:13])))
        time.sleep(0.5)  # nothing of the earlier band arrives after it
        page.shows("map", "image", D.band_integral(cube[:, :, 5:13], D.weights(x[5:13])))
