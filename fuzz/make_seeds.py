"""Writes a seed corpus for the fuzzers with the test-file writer.

    python fuzz/make_seeds.py OUT_DIR

Small files of every kind: spectra with side blocks, an extended directory,
the tests' file of each family (test_handle.FILES), multi-region maps of
other kinds (traces that fail, share columns, coordinates as text).
"""

import os
import pathlib
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import ixarwriter as w  # noqa: E402
from test_handle import FILES  # noqa: E402


def seeds():
    rng = np.random.default_rng(1)
    y = rng.random(16).astype(np.float32)
    yield "side_blocks", w.single_spectrum(y, 10.0, 1.0, acq={"NSS": 4}, inst={"INS": "x"},
                                           sample_params={"SNM": "s"}, ft={"ZFF": 2}).tobytes()
    f = w.single_spectrum(y, 1.0, 2.0, data_type=w.D_SC, sample=1)
    f.add(w.block_type(param=w.P_OWN, data=w.D_AB), w.param_block(w.spectrum_params(4, 1.0, 2.0, 0.0, 1.0)), ext=True)
    f.add(w.block_type(param=w.P_DATA, data=w.D_AB), w.floats(y[:4]), ext=True)
    yield "extended", f.tobytes()
    for name, (made, _, _) in FILES.items():  # every family, with gaps and repeats in its store table
        yield name, made.tobytes()
    sp = rng.random((3, 4)).astype(np.float32)
    rows = w.region_rows(1, [(0, 0), (1, 0)], 0, nx=2, ny=1) + w.region_rows(0, [(5, 5)], 2)
    # a region of loose trace points whose last point names no trace column
    loose = [(2, 0, 0, 0, 0, i % 4 + 1 if i < 19 else 99, float(i), 0.0, "") for i in range(20)]
    yield "region_traces_failing", w.multi_region(sp, loose, 1.0, 2.0, data_type=w.D_TRC,
                                                  labels=["p", "q", "r"]).tobytes()
    # points that share trace columns, next to points of neighbouring columns
    wide = rng.random((3, 12)).astype(np.float32)
    shared = [(1, 0, 0, 0, 0, k, float(i), 0.0, "") for i, k in enumerate([3, 4, 4, 5, 5, 6, 9, 10, 1, 2, 3, 4, 5, 6, 7, 8, 12])]
    yield "region_traces_shared", w.multi_region(wide, shared, 1.0, 2.0, data_type=w.D_TRC,
                                                 labels=["p", "q", "r"]).tobytes()
    run = [(0, 0, 0, 0, 0, k, float(i), 1.0, "") for i, k in enumerate([1, 2, 3, 4, 5, 6, 7, 7, 12])]
    yield "region_traces_run", w.multi_region(wide, run, 1.0, 2.0, data_type=w.D_TRC).tobytes()
    # grid sizes, groups and coordinates of other kinds than the usual
    cols = [c for c in w.REGION_COLUMNS if c[0] not in ("X", "Name")] + [("X", w.ANNO_TEXT)]
    text_rows = [(g, 0, nx, 1, 0, k, y, str(x)) for k, (g, nx, x, y) in
                 enumerate([(1, 2, "0.5", 0.0), (1, 2, "1.5", 0.0), (0, 0, "x", 3.0)])]
    yield "regions_text", w.multi_region(sp, text_rows, 1.0, 2.0, columns=cols).tobytes()
    float_cols = [c if c[0] not in ("Group", "AryNX") else (c[0], w.ANNO_FLOAT) for c in w.REGION_COLUMNS]
    float_rows = [tuple(float(v) if i in (0, 2) else v for i, v in enumerate(r)) for r in rows]
    yield "regions_float", w.multi_region(sp, float_rows, 1.0, 2.0, columns=float_cols).tobytes()


def main(out):
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        pathlib.Path(out, name + ".ixar").write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1])
