"""Takes the README's screenshots of ixarkit view (docs/view-*.png) from
static pages of the samples and of two files made with the test-file writer,
in headless Chromium.

    PYTHONPATH=src python3 docs/view_shots.py
"""
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import numpy as np
from PIL import Image
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
o = webdriver.ChromeOptions()
for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1250,900", "--hide-scrollbars"):
    o.add_argument(a)
d = webdriver.Chrome(options=o, service=Service("/usr/bin/chromedriver"))
DATA = os.path.join(ROOT, "examples", "data")
TMP = tempfile.mkdtemp()
import ixarwriter as w
t = np.linspace(0, 60, 200)
w.trc_series(np.array([1.0 - np.exp(-t / 12), 0.6 * np.exp(-t / 20) + 0.2, 0.4 + 0.05 * np.sin(t / 5)], np.float32),
             ["Carbonyl area", "Amide area", "Ratio"], fxv=0.0, lxv=60.0, extra_params={"DXU": "SEC"}).write(os.path.join(TMP, "traces.ixar"))
grid = [(100.0 + 20 * i, 200.0 + 20 * j) for j in range(4) for i in range(5)]
loose = [(512.0, 64.0), (530.5, 80.0), (498.0, 101.5), (545.0, 120.0), (520.0, 140.0)]
rows = w.region_rows(1, grid, 1, nx=5, ny=4) + w.region_rows(2, loose, 1 + len(grid))
xy = np.array(grid + loose)
vals = np.array([np.hypot(*(xy - xy.mean(0)).T) / 300, xy[:, 0] / 600, 1 - xy[:, 1] / 300], np.float32)
w.multi_region(vals, rows, 0.0, 1.0, data_type=w.D_TRC, labels=["Carbonyl area", "Amide area", "Ratio"]).write(os.path.join(TMP, "regions_trc.ixar"))
NAMED = "const doc = Bokeh.documents[0]; const named = (n) => [...new Set(doc.roots().flatMap(r => [...r.references()]))].find(m => m.name == n);"
cases = {
  "image": ("image.ixar", NAMED + "named('band').data = {lo: [1680], hi: [1540]}; named('pick').data = {i: [5], j: [9]};"),
  "multiregion": ("multiregion.ixar", NAMED + "named('points').selected.indices = [14];"),
  "timeseries": ("timeseries.ixar", NAMED + "named('pick').data = {i: [8], j: [150]};"),
  "image_trc": ("image_trc.ixar", NAMED + "named('trace').value = '1'; named('pick').data = {i: [5], j: [9]};"),
  "single": ("absorbance.ixar", ""),
  "traces": (os.path.join(TMP, "traces.ixar"), ""),
  "multiregion_trc": (os.path.join(TMP, "regions_trc.ixar"), NAMED + "named('trace').value = '0'; named('points').selected.indices = [12];"),
}
for name, (f, js) in cases.items():
    out = os.path.join(TMP, f"{name}.html")
    subprocess.run([sys.executable, "-m", "ixarkit", "view", f if os.path.isabs(f) else os.path.join(DATA, f), "-o", out], check=True)
    d.get("file://" + out); time.sleep(1.5)
    if js: d.execute_script(js); time.sleep(1.0)
    d.save_screenshot(os.path.join(TMP, "shot.png"))
    im = Image.open(os.path.join(TMP, "shot.png")).convert("RGB")
    a = np.asarray(im); mask = (a.min(axis=2) < 245)
    ys, xs = np.nonzero(mask[:, :])
    box = (0, 0, min(im.width, xs.max() + 10), min(im.height, ys.max() + 10))
    im = im.crop(box)
    im = im.quantize(colors=96, method=Image.Quantize.MEDIANCUT)
    im.save(os.path.join(ROOT, "docs", f"view-{name}.png"), optimize=True)
    print(name, im.size, os.path.getsize(os.path.join(ROOT, "docs", f"view-{name}.png")))
d.quit()
