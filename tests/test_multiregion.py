"""Multi-region point maps (spectra and TRC), their annotation tables; every 3D family cut short or damaged."""

import os
import struct

import numpy as np
import pytest

import ixarkit
from checks import AB3 as REQ, TRC, fails, get, same, same_result
from ixarwriter import (ANNO_FLOAT, ANNO_INT, ANNO_TEXT, D_TRC, EXT_ANNOTATION, REGION_COLUMNS, IxarFile,
                        anno_block, anno_table, block_type as bt, image_map, image_trc_map, multi_region,
                        special_floats as specials, time_resolved, trc_series)

SPECTRA = specials((30, 5), seed=7)             # 30 spectra of five points
TIMES = [1000.0 + 0.1 * k for k in range(30)]
TRACES = specials((3, 6), seed=8)               # three traces over six points
LABELS = ["area", "height", "ratio"]


def row(group, findex, x=0.0, y=0.0, nx=0, ny=0, type_=0, ary=0, name=""):
    return (group, type_, nx, ny, ary, findex, x, y, name)


def f32(values):   # annotation floats come back as the float32 values widened to float64
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def regions_file(tmp_path, rows, **kw):
    return multi_region(SPECTRA, rows, 3100.0, 1000.0, start_times=TIMES, **kw).write(tmp_path / "m.ixar")


def trc_file(tmp_path, rows, **kw):
    return multi_region(TRACES, rows, 0.0, 5.0, data_type=D_TRC, labels=LABELS, **kw).write(tmp_path / "t.ixar")


def titles(res):
    return [r.title for r in res.regions]


def trc_columns(columns, traces=TRACES):
    return traces[:, columns].T.copy()


# Groups 2, 0, 1 in the file; points refer to spectra out of order.
ROWS = [row(2, 5, 0.1, -0.1), row(2, 0, 0.2, -0.2), row(2, 7, 0.3, -0.3), row(0, 1, 10.5, 1.0, nx=2, ny=1),
        row(0, 2, 11.5, 1.0, nx=2, ny=1), row(1, 4, -3.0, 7.25), row(1, 3, -4.0, 7.25)]
TRC_ROWS = [row(1, 4, 0.5), row(1, 1, 1.5), row(0, 6, 2.5, nx=1, ny=1)]   # Fileindex 1-based


def check_regions(res, groups, spectra=SPECTRA, times=np.array(TIMES)):
    """Each region (title, rows) of groups: its spectra, map and times from the rows as written."""
    assert type(res) is ixarkit.MultiRegionDataReturn and titles(res) == [title for title, _ in groups]
    for region, (_, rows) in zip(res.regions, groups):
        findex = [r[5] for r in rows]
        assert type(region) is ixarkit.Region
        same(region.spectra, spectra[findex], region.mapX, f32([r[6] for r in rows]), region.mapY,
             f32([r[7] for r in rows]), region.start_time, times[findex])


def grouped(groups, **kw):
    """Rows of one point per group, in this order, and the regions they make: in set order."""
    return [row(g, k, **kw) for k, g in enumerate(groups)], [(f"Region {g} (1 points)", [row(g, groups.index(g), **kw)])
                                                            for g in set(groups)]


T1 = [row(0, 0, type_=1), row(0, 1), row(1, 2), row(1, 3, type_=4)]   # the type of a region's first row decides
GRID = [row(0, 0, 1.0, nx=2, ny=1), row(1, 9, 2.0)]                 # a grid takes consecutive rows


@pytest.mark.parametrize("rows,regions", [
    (ROWS, [("Region 0 (2 x 1)", ROWS[3:5]), ("Region 1 (2 points)", ROWS[5:]), ("Region 2 (3 points)", ROWS[:3])]),
    ([row(3, k) for k in range(25)], [("Region 3 (25 points)", [row(3, k) for k in range(25)])]),
    ([row(1, k, nx=4, ny=5) for k in range(20)], [("Region 1 (4 x 5)", [row(1, k, nx=4, ny=5) for k in range(20)])]),
    ([row(1, k, nx=4, ny=5, ary=1) for k in range(20)], [("Region 1 (4 x 5)", [row(1, k, nx=4, ny=5, ary=1) for k in range(20)])]),
    ([row(4, k, nx=3, ny=0) for k in range(2)], [("Region 4 (2 points)", [row(4, k, nx=3, ny=0) for k in range(2)])]),
    ([row(5, 0, ary=2), row(5, 1, ary=2)], [("Region 5 (0 x 0)", [])]), ([row(6, 0, nx=3, ary=1)], [("Region 6 (3 x 0)", [])]),
    grouped([2, 0, 1]), grouped([8, 16, 0]), grouped([40, 7, -3, -2, 100000]),
    (T1, [("Region 1 (2 points)", T1[2:])]), (GRID, [("Region 0 (2 x 1)", GRID), ("Region 1 (1 points)", GRID[1:])]),
])
def test_regions(tmp_path, rows, regions):
    res = get(regions_file(tmp_path, rows))
    assert (res.dataType, res.dimension, res.derivative) == REQ
    same(res.x, np.linspace(3100.0, 1000.0, 5))
    check_regions(res, regions)


@pytest.mark.parametrize("column", ["Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex", "X", "Y", None])
def test_missing_column(tmp_path, column):
    keep = [i for i, c in enumerate(REGION_COLUMNS) if c[0] != (column or "AryType")]
    rows = [tuple(r[i] for i in keep) for r in (ROWS if column else [row(0, k, nx=2, ny=1) for k in range(2)])]
    path = regions_file(tmp_path, rows, columns=[REGION_COLUMNS[i] for i in keep])
    # AryType is read only for regions without a grid; any other missing column fails the read
    assert titles(get(path)) == ["Region 0 (2 x 1)"] if column is None else fails(KeyError, path).args == (column,)


@pytest.mark.parametrize("rows,kw,exc", [   # no index 3 or 30; more points than rows; no annotations; no tables
    ([row(0, 3)], dict(store_table=[[0, 1], [-1, 8], [5, 6]]), KeyError), ([row(0, 30)], {}, KeyError),
    ([row(0, k, nx=3, ny=3) for k in range(4)], {}, IndexError), ([row(0, k, nx=5, ny=1) for k in range(4)], {}, IndexError),
    (ROWS, dict(anno=False), ValueError), (ROWS, dict(anno=[]), KeyError)])
def test_point_map_errors(tmp_path, rows, kw, exc):
    fails(exc, regions_file(tmp_path, rows, **kw))


def test_multi_region_trc(tmp_path):
    for info_size, labels in [(None, LABELS), (100, [])]:   # short info records: no labels
        res = get(trc_file(tmp_path, TRC_ROWS, info_size=info_size), TRC)
        assert type(res) is ixarkit.MultiRegionTRCDataReturn and res.labels == labels
        assert titles(res) == ["Region 0 (1 x 1)", "Region 1 (2 points)"] and [r.start_time for r in res.regions] == [None] * 2
        same(res.x, np.linspace(0.0, 5.0, 6), res.regions[0].spectra, trc_columns([5]), res.regions[1].spectra,
             trc_columns([3, 0]), res.regions[1].mapX, f32([0.5, 1.5]))


@pytest.mark.parametrize("findex,column", [(1, 0), (6, 5), (0, 5), (-5, 0), (7, None), (-6, None)])
def test_trc_fileindex_picks_a_column(tmp_path, findex, column):
    if column is None:
        fails(IndexError, trc_file(tmp_path, [row(0, findex)]), TRC)
    else:
        same(get(trc_file(tmp_path, [row(0, findex)]), TRC).regions[0].spectra, trc_columns([column]))


NUMBERS = [c for c in REGION_COLUMNS if c[1] != ANNO_TEXT]   # the eight number columns
POINTS = [row(0, 3, 1.25, 2.5), row(0, 4, -1.0, 0.5), row(1, 6, 9.0, 9.0)]
POINT_REGIONS = [("Region 0 (2 points)", POINTS[:2]), ("Region 1 (1 points)", POINTS[2:])]


def text_first():
    # Text columns at 48 and 52 of 56-byte rows come first: read 8 bytes wide each, numbers follow from 16 on.
    columns = [("Label", ANNO_TEXT, 48), ("Note", ANNO_TEXT, 52)] + [(n, c, 4 * k) for k, (n, c) in enumerate(NUMBERS)]
    return anno_table(columns, [], row_len=56, nln=3) + b"".join(
        b"Label-AB" + b"Note-CD\0" + struct.pack("<6i2f", *r[:6], *r[6:8]) + bytes(8) for r in POINTS)


@pytest.mark.parametrize("tables,regions", [
    (lambda: [text_first()], POINT_REGIONS),
    # a text column past the end of the row reads empty
    (lambda: [anno_table([("Name", ANNO_TEXT, 40)] + [(n, c, 4 * k) for k, (n, c) in enumerate(NUMBERS)],
                         [(r[8],) + r[:8] for r in POINTS], row_len=32)], POINT_REGIONS),
    # the later table wins for a shared column
    (lambda: [anno_table(REGION_COLUMNS, POINTS), anno_table([("X", ANNO_FLOAT), ("Other", ANNO_INT)], [(7.5, 0), (8.5, 0), (0.0, 0)])],
     [("Region 0 (2 points)", [row(0, 3, 7.5, 2.5), row(0, 4, 8.5, 0.5)]), ("Region 1 (1 points)", [row(1, 6, 0.0, 9.0)])]),
    # an unknown column type only matters with rows
    (lambda: [anno_table(REGION_COLUMNS, POINTS), anno_table([("Junk", 7)], [])], POINT_REGIONS),
    (lambda: [anno_table(REGION_COLUMNS, POINTS[:1], src=0)], [("Region 0 (1 points)", POINTS[:1])]),  # one row of 0 bytes
])
def test_annotation_tables(tmp_path, tables, regions):
    check_regions(get(regions_file(tmp_path, [r for _, rs in regions for r in rs], anno=tables())), regions)


@pytest.mark.parametrize("table_kw,block_kw,exc", [
    (dict(nln=1000), {}, ValueError), (dict(nln=2**31 - 1), {}, ValueError),   # rows past the end
    (dict(src=0), {}, ValueError), (dict(src=-4), {}, ValueError),
    (dict(extra=[("SIZ", 120.0)]), {}, TypeError), (dict(extra=[("SRC", "36")]), {}, TypeError),
    (dict(extra=[("F08", 32.0)]), {}, TypeError), (dict(extra=[("NLN", 3.0)]), {}, TypeError),
    ({}, dict(dir_extra=[("F00", 60.0)]), TypeError), (dict(nco=2**31 - 1), {}, KeyError), ({}, dict(nrp=2**31 - 1), KeyError),
    (dict(rows=[row(0, 3, name=b"\xe9t\xe9")]), {}, UnicodeDecodeError), (dict(more=[(1,)]), {}, ValueError),
])
def test_bad_annotation_tables(tmp_path, table_kw, block_kw, exc):
    kw = dict(table_kw)
    more = [anno_table([("Junk", 7)], kw.pop("more"))] if "more" in kw else []   # unknown column type, with a row
    tables = [anno_table(REGION_COLUMNS, kw.pop("rows", POINTS), **kw)] + more
    fails(exc, regions_file(tmp_path, POINTS, anno=anno_block(tables, **block_kw)))


GAPPY = [[0, 2], [-1, 16], [1, 1], [6, 5], [3, 4]]      # gap, repeat, empty run
ORDER = [0, 3, 2, 4, 5]          # records of indices 0..4: the later offset, in the first place
MIXED = [row(2, 4, 0.1), row(2, 0, 0.2), row(0, 1, 1.0, nx=2, ny=1), row(0, 2, 2.0), row(1, 3, 3.0, type_=1),
         row(3, 4, 4.0, ary=1), row(4, 1, -1.0)]
TRC_MIXED = [row(2, 6, 0.1), row(2, 1, 0.2), row(0, 2, 1.0, nx=2, ny=1), row(0, 5, 2.0), row(4, 3, -1.0)]
LABEL_SET = ["a", b"b\0junk", "", "dddddddddddd", "e", "f"]
READ_LABELS = ["a", "b", "", "dddddddddddd", "e", "f"]

CASES = {  # builder, its arguments and keyword arguments, TRC or not
    "image": (image_map, (specials((3, 3, 5), 9), 1.0, 2.0),
              dict(aox=-1.1, ddx=0.7, store_table=[[0, 1], [-1, 12], [7, 7], [3, 2], [2, 4], [2, 2]]), False),
    "trc image": (image_trc_map, (specials((2, 3, 4), 10), LABEL_SET[:4]),
                  dict(aoy=3.3, ddy=0.1, store_table=[[0, 0], [-1, 20], [1, 1], [9, 8], [5, 6]]), True),
    "series": (time_resolved, (specials((6, 5), 11), np.arange(6) * 0.3, 9.0, 4.0), dict(store_table=GAPPY), False),
    "traces": (trc_series, (specials((6, 5), 12), LABEL_SET), dict(store_table=GAPPY), True),
    "regions": (multi_region, (specials((6, 5), 13), MIXED, 7.0, 8.0),
                dict(start_times=np.arange(6) + 0.5, store_table=GAPPY), False),
    "trc regions": (multi_region, (specials((6, 6), 14), TRC_MIXED, 7.0, 8.0),
                    dict(data_type=D_TRC, labels=LABEL_SET, store_table=GAPPY), True),
}


def case_file(tmp_path, case, **kw):
    build, args, defaults, trc = CASES[case]
    if build is multi_region:  # the annotation block first, so that a cut falls into the records
        f = IxarFile()
        f.add(bt(extend=EXT_ANNOTATION), anno_block([anno_table(REGION_COLUMNS, args[1])]))
        kw = dict(f=f, anno=False, **kw)
    return build(*args, **{**defaults, **kw}).write(tmp_path / "r.ixar"), TRC if trc else REQ


@pytest.mark.parametrize("case", ["trc image", "regions", "trc regions"])   # the others: see test_3d
def test_gappy_store_table(tmp_path, case):
    path, req = case_file(tmp_path, case)
    res, values = get(path, req), CASES[case][1][0]
    if case == "trc image":
        same(res.traces, values, res.mapY, np.linspace(3.3, 3.3 + 0.1, 2))
        assert res.labels == READ_LABELS[:4]
    elif case == "regions":   # Fileindex is the index in the store table
        regions = [("Region 0 (2 x 1)", MIXED[2:4]), ("Region 2 (2 points)", MIXED[:2]), ("Region 3 (0 x 0)", []),
                   ("Region 4 (1 points)", MIXED[6:])]
        check_regions(res, regions, spectra=values[ORDER], times=(np.arange(6) + 0.5)[ORDER])
    else:                     # Fileindex is the 1-based column of the traces in series order
        assert titles(res) == ["Region 0 (2 x 1)", "Region 2 (2 points)", "Region 4 (1 points)"]
        assert res.labels == [READ_LABELS[k] for k in ORDER]
        for region, rows in zip(res.regions, [TRC_MIXED[2:4], TRC_MIXED[:2], TRC_MIXED[4:]]):
            same(region.spectra, trc_columns([r[5] - 1 for r in rows], values[ORDER]), region.mapX, f32([r[6] for r in rows]))


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("n", [4, 30, 160, 170, 200])
def test_cut_short(tmp_path, case, n):
    path, req = case_file(tmp_path, case, store_table=None)   # one run: every byte is named
    os.truncate(path, os.path.getsize(path) - n)
    fails(ValueError, path, req)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("kw", [   # a store table past the end, more records than the file holds
    dict(block_kw=dict(number_entries=1000)), dict(block_kw=dict(number_entries=2**31 - 1)), dict(store_table=[[0, 2147483646]]),
    dict(block_kw=dict(block_offset=-10**6)), dict(extra_params=[("NPT", 10**8)])], ids=str)
def test_damaged_3d_block(tmp_path, case, kw):   # records before the start of the file: EINVAL
    fails(OSError if "block_kw" in kw and kw["block_kw"].get("block_offset") else ValueError,
          *case_file(tmp_path, case, **kw))


def test_sparse_numbering_reads_like_dense(tmp_path):
    # Spectrum numbers far apart (a lookup table would not fit) find their records all the same.
    step = 10**6
    dense = get(regions_file(tmp_path, ROWS))
    sparse = get(regions_file(tmp_path, [r[:5] + (r[5] * step,) + r[6:] for r in ROWS],
                              store_table=[[k * step, k * step] for k in range(30)]))
    same_result(sparse, dense)


@pytest.mark.parametrize("code,unknown", [(4.0, None), (5.0, None), ("4", "4"), (4.5, "4.5"), (1e16, "1e+16"),
                                          (-0.0, "-0.0"), (1004.0, None), (2.5e-05, "2.5e-05")])
def test_column_type_codes_as_written(tmp_path, code, unknown):
    # Type codes of other kinds than integers: a float equal to a known code is that code; anything
    # else fails, written as the interpreter writes it, when the first row is read.
    rows = [row(0, 0, 1.5, 2.5), row(0, 1, 3.5, 4.5)]
    column = 8 if code == 1004.0 else 6 if code == 5.0 else 5
    table = anno_table(REGION_COLUMNS, rows, extra=[(f"T{column:02d}", code)])
    empty = anno_table(REGION_COLUMNS, [], extra=[(f"T{column:02d}", code)])  # no rows: its codes are never looked at
    for tables in ([table], [empty, anno_table(REGION_COLUMNS, rows)]):
        path = regions_file(tmp_path, rows, anno=tables)
        if unknown is None or tables[0] is empty:
            same(get(path).regions[0].spectra, SPECTRA[:2])
        else:
            assert str(fails(ValueError, path)) == f"Unknown annotation data type {unknown}"


def numpy_float(text):
    """A text as numpy stores it into a float array, or numpy's exception."""
    out = np.zeros(1)
    try:
        out[0] = text
    except ValueError as e:
        return e
    return out[0]


@pytest.mark.parametrize("xs,ys", [
    (["1.5", " -2e1 ", "nan"], ["7", "+3", "1e400"]),                          # numbers as text, an infinity
    (["1", "abc", "2"], ["1", "2", "3"]),                                     # x of the second point is no number
    (["1", "2", "3"], ["4", "5", ""]),                                        # y of the last point is empty
    (["1", "abc", "2"], ["zz", "5", "3"]),                                    # y of the first point fails first
])
@pytest.mark.parametrize("req", [REQ, TRC])
def test_coordinates_held_as_text(tmp_path, xs, ys, req):
    # A coordinate held as text becomes what numpy makes of it; the first that is no number fails the
    # read as numpy fails, whole reads and the handle alike.
    # Rows of six numbers and two texts read 8 bytes wide each (the width from a text's offset to the row's end).
    numbers = [(n, c, 4 * k) for k, (n, c) in enumerate(REGION_COLUMNS[:6])]
    table = anno_table(numbers + [("X", ANNO_TEXT, 32), ("Y", ANNO_TEXT, 32)], [], row_len=40, nln=3) + b"".join(
        struct.pack("<6i", k // 2, 0, 0, 0, 0, k + (req == TRC)) + xs[k].encode().ljust(8, b"\0")
        + ys[k].encode().ljust(8, b"\0") for k in range(3))
    rows = [row(k // 2, k + (req == TRC)) for k in range(3)]
    path = (trc_file if req == TRC else regions_file)(tmp_path, rows, anno=[table])
    values = [numpy_float(t) for t in xs + ys]
    bad = next((v for v in [values[i // 2 + 3 * (i % 2)] for i in range(6)] if isinstance(v, Exception)), None)
    if bad is not None:
        assert str(fails(ValueError, path, req)) == str(bad)
        with ixarkit.open(path) as f, pytest.raises(ValueError) as e:
            f[req].shape
        assert str(e.value.__cause__ or e.value).endswith(str(bad))
        return
    res = get(path, req)
    same(np.concatenate([g.mapX for g in res.regions]), np.array(values[:3]),
         np.concatenate([g.mapY for g in res.regions]), np.array(values[3:]))
    with ixarkit.open(path) as f:
        same(f[req].coords["mapX"], np.array(values[:3]), f[req].coords["mapY"], np.array(values[3:]))
