"""Writes the benchmark files with the project's test-file writer.

Each builder takes a path, a numpy random generator and its sizes, writes the
file and returns the request that reads it back. Values are random, so a
spectrum put in the wrong place cannot go unnoticed.
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from ixarwriter import (D_TRC, IxarFile, block_type, image_map, image_trc_map,  # noqa: E402
                        multi_region, region_rows, single_spectrum, time_resolved, trc_series)

AB3D, TRC3D, AB2D = ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"), ("AB", "2D", "NONE")
MAP = dict(aox=100.0, aoy=-50.0, ddx=2.5, ddy=2.5)


def _randn(rng, *shape):
    return rng.standard_normal(shape, dtype=np.float32)


def image_cube(path, rng, npy, npx, npt):
    image_map(_randn(rng, npy, npx, npt), 4000.0, 400.0, **MAP).write(path)
    return AB3D


def image_traces(path, rng, npy, npx, ntraces):
    labels = [f"band {k} area" for k in range(ntraces)]
    image_trc_map(_randn(rng, npy, npx, ntraces), labels, **MAP).write(path)
    return TRC3D


def series(path, rng, count, npt):
    time_resolved(_randn(rng, count, npt), np.arange(count) * 0.125, 4000.0, 400.0).write(path)
    return AB3D


def series_traces(path, rng, count, npt):
    trc_series(_randn(rng, count, npt), [f"trace {k}" for k in range(count)]).write(path)
    return TRC3D


def regions(path, rng, npoints, npt, nregions, traces=False):
    """nregions regions of npoints / nregions points, alternately grids and
    loose points. Groups are written in descending order, so the order of the
    regions in the result is not that of the rows or records. The TRC variant
    holds npt traces over the npoints points (Fileindex from 1)."""
    per, rows = npoints // nregions, []
    ny = next(d for d in range(int(per ** 0.5), 0, -1) if per % d == 0)
    for group in reversed(range(nregions)):
        nx_ny = (per // ny, ny) if group % 2 == 0 else (0, 0)
        xy = rng.uniform(-500.0, 500.0, (per, 2))
        rows += region_rows(group, xy, len(rows) + traces, *nx_ny, name=f"region {group}")
    if traces:
        multi_region(_randn(rng, npt, npoints), rows, 0.0, 1.0, data_type=D_TRC,
                     labels=[f"band {k}" for k in range(npt)]).write(path)
        return TRC3D
    multi_region(_randn(rng, npoints, npt), rows, 4000.0, 400.0,
                 start_times=np.arange(npoints) * 0.5).write(path)
    return AB3D


def spectrum(path, rng, npt):
    single_spectrum(_randn(rng, npt), 4000.0, 400.0, extra_params={"DXU": "WN"},
                    acq={"APT": "1 mm", "RES": 4.0, "NSS": 32}, inst={"INS": "bench"},
                    ft={"APF": "B3", "ZFF": 2}).write(path)
    return AB2D


def big_directory(path, rng, entries):
    """One AB spectrum (the first two entries), then entries - 2 entries of
    other kinds, dimensions and derivatives, alternately parameter and data
    entries, all pointing at the spectrum's blocks."""
    f = IxarFile(dir_slots=entries)
    single_spectrum(_randn(rng, 1024), 4000.0, 400.0, f=f)
    (_, _, own), (_, _, data) = f.entries
    kinds = [(4, 0), (5, 0), (12, 0), (10, 0), (6, 0), (7, 0), (16, 0), (17, 0), (11, 0),
             (1, 1), (1, 2), (2, 1), (2, 2), (3, 1), (14, 2)]  # (data type, sample type)
    combos = [(d, s, deriv, ext) for d, s in kinds for deriv in range(4) for ext in (0, 10)
              if (d, deriv, ext) != (4, 0, 0)]
    for k in range(entries - 2):
        d, s, deriv, ext = combos[k % len(combos)]
        f.add_entry(block_type(param=k % 2, data=d, sample=s, deriv=deriv, extend=ext), 1,
                    own if k % 2 else data)
    f.write(path)
    return AB2D


def many_data_sets(path, rng, count, npt):
    """count 2D data sets of different kinds (and derivatives) in one file."""
    kinds = [(d, s) for d, s in [(4, 0), (5, 0), (12, 0), (16, 0), (17, 0), (10, 0), (6, 0), (11, 0)]]
    f = IxarFile(dir_slots=8 * count + 8)
    for k in range(count):
        data, sample = kinds[k % len(kinds)]
        single_spectrum(_randn(rng, npt), 4000.0, 400.0, data_type=data, sample=sample,
                        deriv=k // len(kinds), f=f)
    f.write(path)
    return None


def regions_scaling(path, rng, npoints, npt, nregions, jump=1):
    """regions() with small spectra for counts of points up to millions; with
    jump > 1 the spectra are numbered jump apart (a numbering with jumps)."""
    per, rows = npoints // nregions, []
    for group in reversed(range(nregions)):
        xy = rng.uniform(-500.0, 500.0, (per, 2))
        rows += region_rows(group, xy, len(rows))
    if jump > 1:
        rows = [r[:5] + (r[5] * jump,) + r[6:] for r in rows]
        table = [[k * jump, k * jump] for k in range(len(rows))]
    else:
        table = None
    multi_region(_randn(rng, len(rows), npt), rows, 4000.0, 400.0, store_table=table).write(path)
    return AB3D


def sparse_cube(path, npy, npx, npt, info_size=160):
    """An image cube whose records are a hole in the file: header, parameters,
    extended directory and store table are written, the npy * npx records
    (zeros when read) take no disk. Its 3D block is listed in the extended
    directory, whose sizes are 64-bit. Returns the request."""
    import os
    from ixarwriter import (D_AB, EXT_3D, EXT_POINTER, P_DATA, P_OWN, block3d, ext_dir, info_record, param_block,
                            spectrum_params)
    count = npy * npx
    grid = [("AOX", 0.0), ("AOY", 0.0), ("DDX", 1.0), ("DDY", 1.0), ("NPX", npx), ("NPY", npy)]
    f = IxarFile()
    kind = dict(data=D_AB, extend=EXT_3D)
    f.add(block_type(param=P_OWN, **kind), param_block(spectrum_params(npt, 4000.0, 400.0, 0.0, 0.0, grid)))
    one = block3d([(np.zeros(npt, np.float32), info_record(info_size))], [[0, count - 1]], stored_blocks=count)
    record = 4 * npt + info_size
    head = one[:len(one) - record]  # header and store table; the records are the hole
    full = len(head) + count * record
    ext = ext_dir([(block_type(param=P_DATA, **kind), (full + 3) // 4, 0)])
    ext_at = f.place(bytes(len(ext)))  # the extended directory before the data, within reach of 32-bit offsets
    data_at = f.place(head)
    f.add_entry(block_type(extend=EXT_POINTER), 0, ext_at)
    data = bytearray(f.tobytes())
    data[ext_at:ext_at + len(ext)] = ext_dir([(block_type(param=P_DATA, **kind), (full + 3) // 4, data_at)])
    with open(path, "wb") as fh:
        fh.write(data[:data_at + len(head)])
    os.truncate(path, data_at + full)
    return AB3D
