"""Writes the small synthetic sample files under examples/data/.

    python examples/make_samples.py

The files are made with the project's test-file writer, so they exercise
every kind of data set the reader knows: a spectrum with its sample and
reference single channels, a derivative, an image map, a map of band areas
(TRC), a time-resolved series, time-resolved traces (band areas over time),
a multi-region point map and a multi-region map of band areas.
"""

import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import ixarwriter as w  # noqa: E402

OUT = os.path.join(HERE, "data")


def lorentz(x, center, width, height):
    return height / (1.0 + ((x - center) / (width / 2.0)) ** 2)


def gauss(x, center, width, height):
    return height * np.exp(-0.5 * ((x - center) / width) ** 2)


def absorbance(x, scale=1.0):
    """Sharp bands (CH stretches, carbonyl, fingerprint) on a broad OH band."""
    return scale * (gauss(x, 3350, 180, 0.35) + lorentz(x, 2925, 18, 0.55)
                    + lorentz(x, 2855, 14, 0.32) + lorentz(x, 1735, 12, 0.9)
                    + lorentz(x, 1460, 10, 0.25) + lorentz(x, 1165, 22, 0.4)) + 0.01


ACQ = {"NSS": 32, "NSR": 32, "RES": 4.0, "DAT": "06/12/2026", "TIM": "10:15:00",
       "EXP": "transmission.xpm", "XPP": "C:\\experiments"}
INST = {"INS": "FT spectrometer", "LWN": 15798.0, "BMS": "KBr", "APT": "6 mm",
        "HFW": 4000.0, "LFW": 400.0, "HPF": 0, "LPF": 10.0}
SAMPLE = {"SNM": "polymer film", "SFM": "film", "CNM": "operator"}
FT = {"APF": "B3", "PHZ": "ML", "PHR": 32.0, "ZFF": 2, "HFQ": 4000.0, "LFQ": 400.0}


def spectrum_file(path):
    x = np.linspace(4000.0, 400.0, 1867)
    ab = absorbance(x).astype(np.float32)
    ref = (1.0 + 0.6 * np.exp(-0.5 * ((x - 2200) / 900) ** 2)).astype(np.float32)
    ssc = (ref * 10 ** -ab).astype(np.float32)
    f = w.single_spectrum(ab, 4000.0, 400.0, extra_params={"DXU": "WN"},
                          acq=ACQ, inst=INST, inst_sample=0, sample_params=SAMPLE, ft=FT)
    w.single_spectrum(ssc, 4000.0, 400.0, data_type=w.D_SC, sample=1,
                      extra_params={"DXU": "WN"}, f=f)
    w.single_spectrum(ref, 4000.0, 400.0, data_type=w.D_SC, sample=2,
                      extra_params={"DXU": "WN"}, f=f)
    f.write(path)


def derivative_file(path):
    x = np.linspace(4000.0, 400.0, 1867)
    ab = absorbance(x).astype(np.float32)
    d1 = np.gradient(ab.astype(np.float64), x).astype(np.float32)
    f = w.single_spectrum(ab, 4000.0, 400.0, extra_params={"DXU": "WN"}, acq=ACQ)
    w.single_spectrum(d1, 4000.0, 400.0, deriv=1, extra_params={"DXU": "WN"}, f=f)
    f.write(path)


def image_file(path):
    npy, npx, npt = 12, 16, 256
    x = np.linspace(3100.0, 1000.0, npt)
    yy, xx = np.mgrid[0:npy, 0:npx]
    # Two components: a film thickening left to right, an inclusion in the middle.
    thickness = 0.3 + 0.7 * xx / (npx - 1)
    inclusion = np.exp(-(((xx - 9) / 3.0) ** 2 + ((yy - 5) / 2.5) ** 2))
    a = absorbance(x)
    b = lorentz(x, 1600, 25, 0.8) + lorentz(x, 1250, 30, 0.5)
    cube = (thickness[..., None] * a + inclusion[..., None] * b).astype(np.float32)
    w.image_map(cube, 3100.0, 1000.0, aox=-400.0, aoy=-300.0, ddx=50.0, ddy=50.0,
                extra_params={"DXU": "WN"}).write(path)


def image_trc_file(path):
    npy, npx = 12, 16
    yy, xx = np.mgrid[0:npy, 0:npx]
    carbonyl = (0.3 + 0.7 * xx / (npx - 1)) * 2.1
    inclusion = 1.5 * np.exp(-(((xx - 9) / 3.0) ** 2 + ((yy - 5) / 2.5) ** 2))
    ratio = carbonyl / (carbonyl + inclusion)
    traces = np.dstack([carbonyl, inclusion, ratio]).astype(np.float32)
    w.image_trc_map(traces, ["Carbonyl area", "Inclusion area", "Carbonyl ratio"],
                    aox=-400.0, aoy=-300.0, ddx=50.0, ddy=50.0).write(path)


def timeseries_file(path):
    n, npt = 40, 256
    x = np.linspace(2400.0, 1500.0, npt)
    t = np.arange(n) * 0.25
    decay = np.exp(-t / 3.0)[:, None] * lorentz(x, 2100, 20, 0.9)
    grow = (1 - np.exp(-t / 3.0))[:, None] * lorentz(x, 1650, 30, 0.6)
    spectra = (decay + grow + 0.01).astype(np.float32)
    w.time_resolved(spectra, t, 2400.0, 1500.0, ztx="Time (s)",
                    extra_params={"DXU": "WN"}).write(path)


def multiregion_file(path):
    npt = 128
    x = np.linspace(3100.0, 1000.0, npt)
    grid = [(100.0 + 20 * i, 200.0 + 20 * j) for j in range(3) for i in range(4)]
    loose = [(512.0, 64.0), (530.5, 80.0), (498.0, 101.5), (545.0, 120.0), (520.0, 140.0)]
    rows = (w.region_rows(1, grid, 0, nx=4, ny=3, name="grid")
            + w.region_rows(2, loose, len(grid), name="particles"))
    rng = np.random.default_rng(7)
    spectra = np.array([absorbance(x, 0.8 + 0.1 * (k % 3)) for k in range(len(rows))])
    spectra += rng.normal(0, 0.002, spectra.shape)
    times = 1.7e9 + 12.0 * np.arange(len(rows))
    w.multi_region(spectra.astype(np.float32), rows, 3100.0, 1000.0,
                   start_times=times, extra_params={"DXU": "WN"}).write(path)


def traces_file(path):
    n = 40  # band areas of the time-resolved series, one value per spectrum
    t = np.arange(n) * 0.25
    decay, grow = 0.9 * np.exp(-t / 3.0), 0.6 * (1 - np.exp(-t / 3.0))
    traces = np.array([decay * 31.4, grow * 47.1, decay / (decay + grow)]).astype(np.float32)
    w.trc_series(traces, ["Nitrile area", "Carbonyl area", "Nitrile ratio"], 0.0, 9.75,
                 extra_params={"DXU": "SEC"}).write(path)


def multiregion_trc_file(path):
    # Band areas at the points of two regions that overlap: a grid and a line across it.
    grid = [(100.0 + 20 * i, 200.0 + 20 * j) for j in range(3) for i in range(4)]
    line = [(110.0 + 15 * k, 190.0 + 12 * k) for k in range(5)]
    points = grid + line
    rows = [r[:5] + (k + 1,) + r[6:] for k, r in enumerate(
        w.region_rows(1, grid, 0, nx=4, ny=3, name="grid") + w.region_rows(2, line, 0, name="line"))]
    xy = np.array(points)
    carbonyl = 1.5 + 0.01 * (xy[:, 0] - 100.0)
    inclusion = 0.8 * np.exp(-((xy[:, 0] - 140.0) ** 2 + (xy[:, 1] - 220.0) ** 2) / 800.0)
    traces = np.array([carbonyl, inclusion, carbonyl / (carbonyl + inclusion)]).astype(np.float32)
    w.multi_region(traces, rows, 0.0, 1.0, data_type=w.D_TRC,
                   labels=["Carbonyl area", "Inclusion area", "Carbonyl ratio"]).write(path)


SAMPLES = {
    "absorbance.ixar": spectrum_file,
    "derivative.ixar": derivative_file,
    "image.ixar": image_file,
    "image_trc.ixar": image_trc_file,
    "timeseries.ixar": timeseries_file,
    "multiregion.ixar": multiregion_file,
    "traces.ixar": traces_file,
    "multiregion_trc.ixar": multiregion_trc_file,
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, make in SAMPLES.items():
        make(os.path.join(OUT, name))
        print(os.path.join("examples", "data", name))


if __name__ == "__main__":
    main()
