"""Numbers of ixarkit view: time to the first picture, click-to-spectrum
latency, band remaps and peak memory, for the 111 MB cube and the 34 GB
sparse mosaic of run.py.

    PYTHONPATH=src python3 bench/view.py [--small] [--no-sparse] [--no-browser]

Each file is measured in a fresh process (so that its peak memory is its
own): the served page's document is built as the server builds it for a
new session ("document"), clicks and bands are set on that document as the
page sets them, so that their Python callbacks run (a record read, a band
read) as they do behind a click; the mosaic's band map runs through the
same chunks the server's thread computes. With Chromium and selenium, the
page is also served on 127.0.0.1 and timed until it has drawn ("browser").
"""

import argparse
import asyncio
import json
import os
import queue
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import files  # noqa: E402

CUBE = {"full": (128, 128, 1700), "small": (32, 32, 400)}
MOSAIC = (2048, 2400, 1700)


class Peak:
    """The largest resident size of this process, sampled every 2 ms, beyond
    what it was when started (MB)."""

    def __init__(self):
        self.base = self.now()
        self.top, self.done = self.base, threading.Event()
        threading.Thread(target=self._watch, daemon=True).start()

    @staticmethod
    def now():
        with open("/proc/self/statm") as fh:
            return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6

    def _watch(self):
        while not self.done.wait(0.002):
            self.top = max(self.top, self.now())

    def stop(self):
        self.done.set()
        return max(self.top, self.now()) - self.base


def child(path, full_map):
    """Measures one file in this process; prints JSON."""
    import ixarkit
    from bokeh.document import Document
    from ixarkit._view import app, data
    peak = Peak()
    out = {}
    t = time.perf_counter()
    f = ixarkit.open(path)
    doc = Document()
    app.served(doc, f, path)
    out["document_ms"] = (time.perf_counter() - t) * 1e3
    block = f[next(iter(f))]
    ny, nx, npt = block.shape
    out["whole_at_first"] = block.nbytes <= data.SMALL
    # clicks: the pick a tap sets, then the record read and the spectrum shown
    pick, spectrum = doc.get_model_by_name("pick"), doc.get_model_by_name("spectrum")
    rng = np.random.default_rng(1)
    times = []
    for i, j in zip(rng.integers(0, ny, 201), rng.integers(0, nx, 201)):
        t = time.perf_counter()
        pick.data = dict(i=[int(i)], j=[int(j)])
        times.append((time.perf_counter() - t) * 1e3)
    assert np.array_equal(spectrum.data["y"], block[int(i), int(j)])
    out["click_ms"] = statistics.median(times[1:])
    out["click_p95_ms"] = float(np.percentile(times[1:], 95))
    x = block.coords[block.dims[-1]]
    band = doc.get_model_by_name("band")
    if out["whole_at_first"]:
        for name, (a, b) in {"band10_ms": (100, 110), "whole_ms": (0, npt)}.items():
            t = time.perf_counter()
            band.data = dict(lo=[float(x[a])], hi=[float(x[b - 1])])
            out[name] = (time.perf_counter() - t) * 1e3
        image = doc.get_model_by_name("map").data["image"][0]
        assert np.array_equal(image, data.band_map(block, 0, npt))
    for name, (a, b) in {"chunks10": (100, 110), "chunks_whole": (0, npt)}.items():
        if name == "chunks_whole" and not full_map:
            continue
        t = time.perf_counter()
        first = None
        for start, end, values in data.band_map_chunks(block, a, b):
            first = first or (time.perf_counter() - t) * 1e3
        out[name + "_first_ms"], out[name + "_ms"] = first, (time.perf_counter() - t) * 1e3
    out["peak_mb"] = peak.stop()
    f.close()
    print(json.dumps(out))


def browser_first_picture(path, whole_map=False):
    """ms from asking the page to its plots drawn, to its first band map rows
    drawn and (whole_map) to the whole band map drawn, and the serving
    process's peak memory meanwhile (MB); None without Chromium."""
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    if not chromium or not driver:
        return None
    import ixarkit
    from ixarkit._view import app, make_server
    ready = queue.Queue()

    def run():
        asyncio.set_event_loop(asyncio.new_event_loop())
        f = ixarkit.open(path)
        server = make_server(f, path, port=0)
        server.start()
        ready.put(server)
        server.io_loop.start()
        server.stop()
        app.stop_work()
        f.close()
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    server = ready.get(timeout=60)
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,1000"):
        options.add_argument(arg)
    options.binary_location = chromium
    d = webdriver.Chrome(options=options, service=Service(driver))
    peak = Peak()
    try:
        t = time.perf_counter()
        d.get(server.url)
        drawn = rows = whole = None
        while time.perf_counter() - t < 120:
            state = d.execute_script("""
                if (!window.Bokeh || !Bokeh.documents.length || !Bokeh.index.roots.length) return null;
                const idle = Bokeh.index.roots.every(v => v.is_idle);
                const doc = Bokeh.documents[0], map = doc.get_model_by_name('map');
                const img = map.data.image[0];
                let some = false;
                for (let k = 0; k < img.length; k += 997) if (!isNaN(img[k])) { some = true; break; }
                return [idle, some];""")
            now = (time.perf_counter() - t) * 1e3
            if state and state[0] and drawn is None:
                drawn = now
            if state and state[0] and state[1]:
                rows = now
                break
            time.sleep(0.02)
        while whole_map and time.perf_counter() - t < 1200:
            if d.execute_script("return Bokeh.documents[0].get_model_by_name('progress').text") == "":
                whole = (time.perf_counter() - t) * 1e3
                break
            time.sleep(0.5)
        return drawn, rows, whole, peak.stop()
    finally:
        d.quit()
        server.io_loop.add_callback(server.io_loop.stop)
        thread.join(60)


def measure(path, full_map):
    got = subprocess.run([sys.executable, __file__, "--child", path] + (["--full-map"] if full_map else []),
                         capture_output=True, text=True, check=True, env=dict(os.environ))
    return json.loads(got.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--small", action="store_true", help="a 32 x 32 x 400 cube only")
    ap.add_argument("--no-sparse", action="store_true", help="leave the 34 GB sparse mosaic out")
    ap.add_argument("--no-full-map", action="store_true",
                    help="do not compute the mosaic's whole-range band map (34 GB read as zeros)")
    ap.add_argument("--no-browser", action="store_true", help="no page in Chromium")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--full-map", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child, args.full_map)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        cases = [("cube", CUBE["small" if args.small else "full"])]
        if not (args.small or args.no_sparse):
            cases.append(("mosaic", MOSAIC))
        for name, dims in cases:
            path = os.path.join(tmp, f"{name}.ixar")
            if name == "cube":
                files.image_cube(path, np.random.default_rng(0), *dims)
                open(path, "rb").read()  # warm the page cache
            else:
                files.sparse_cube(path, *dims)
            gb = os.path.getsize(path) / 1e9
            got = measure(path, not args.no_full_map)
            web = None if args.no_browser else browser_first_picture(path, not args.no_full_map)
            rows.append((f"{name} {' x '.join(map(str, dims))} ({gb:.3g} GB)", got, web))
            os.remove(path)
    for label, got, web in rows:
        print(f"\n{label}")
        print(f"  document of the first picture   {got['document_ms']:10.1f} ms  "
              f"({'band map of the whole range included' if got['whole_at_first'] else 'centre spectrum; band map in chunks'})")
        if web:
            print(f"  browser: page drawn             {web[0]:10.1f} ms")
            if web[1] is not None:
                print(f"  browser: first band map rows    {web[1]:10.1f} ms")
            if web[2] is not None:
                print(f"  browser: whole band map drawn   {web[2]:10.1f} ms")
            print(f"  browser: server's peak memory   {web[3]:10.1f} MB beyond what it held before")
        print(f"  click to spectrum (median, p95) {got['click_ms']:10.3f} ms  {got['click_p95_ms']:.3f} ms")
        if "band10_ms" in got:
            print(f"  band remap, 10 points           {got['band10_ms']:10.1f} ms")
            print(f"  band remap, whole range         {got['whole_ms']:10.1f} ms")
        print(f"  band map in chunks, 10 points   {got['chunks10_ms']:10.1f} ms  (first chunk {got['chunks10_first_ms']:.1f} ms)")
        if "chunks_whole_ms" in got:
            print(f"  band map in chunks, whole range {got['chunks_whole_ms']:10.1f} ms  "
                  f"(first chunk {got['chunks_whole_first_ms']:.1f} ms)")
        print(f"  peak memory beyond the imports  {got['peak_mb']:10.1f} MB")


if __name__ == "__main__":
    main()
