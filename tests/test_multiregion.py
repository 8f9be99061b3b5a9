"""getIxarData on multi-region point maps (spectra and TRC) and their annotation
tables; every 3D family against a plain reference reader, cut short and with
damaged 3D blocks."""

import struct

import numpy as np
import pytest

import ixarkit
from checks import AB3 as REQ, TRC, cut, fails, get, same
from ixarwriter import (ANNO_FLOAT, ANNO_INT, ANNO_TEXT, D_TRC, EXT_ANNOTATION, REGION_COLUMNS, IxarFile,
                        anno_block, anno_table, block_type as bt, image_map, image_trc_map, multi_region,
                        special_floats as specials, time_resolved, trc_series)

SPECTRA = specials((30, 5), seed=7)             # 30 spectra of five points
TIMES = [1000.0 + 0.1 * k for k in range(30)]
TRACES = specials((3, 6), seed=8)               # three traces over six points
LABELS = ["area", "height", "ratio"]


def row(group, findex, x=0.0, y=0.0, nx=0, ny=0, type_=0, ary=0, name=""):
    return (group, type_, nx, ny, ary, findex, x, y, name)


def f32(values):
    """Annotation floats come back as the float32 values widened to float64."""
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def regions_file(tmp_path, rows, name="m.ixar", **kw):
    return multi_region(SPECTRA, rows, 3100.0, 1000.0, start_times=TIMES, **kw).write(tmp_path / name)


def trc_file(tmp_path, rows, name="t.ixar", **kw):
    return multi_region(TRACES, rows, 0.0, 5.0, data_type=D_TRC, labels=LABELS, **kw).write(tmp_path / name)


def titles(res):
    return [r.title for r in res.regions]


# -------------------------------------------------------------- point maps

# Groups 2, 0, 1 in the file; points refer to spectra out of order.
ROWS = [row(2, 5, 0.1, -0.1), row(2, 0, 0.2, -0.2), row(2, 7, 0.3, -0.3),
        row(0, 1, 10.5, 1.0, nx=2, ny=1), row(0, 2, 11.5, 1.0, nx=2, ny=1),
        row(1, 4, -3.0, 7.25), row(1, 3, -4.0, 7.25)]
TRC_ROWS = [row(1, 4, 0.5), row(1, 1, 1.5), row(0, 6, 2.5, nx=1, ny=1)]   # Fileindex 1-based


def test_multi_region_map(tmp_path):
    res = get(regions_file(tmp_path, ROWS))
    assert type(res) is ixarkit.MultiRegionDataReturn
    assert (res.dataType, res.dimension, res.derivative) == REQ
    same(res.x, np.linspace(3100.0, 1000.0, 5))
    assert titles(res) == ["Region 0 (2 x 1)", "Region 1 (2 points)", "Region 2 (3 points)"]
    for region, rows in zip(res.regions, [ROWS[3:5], ROWS[5:], ROWS[:3]]):
        assert type(region) is ixarkit.Region
        findex = [r[5] for r in rows]
        same(region.spectra, SPECTRA[findex])
        same(region.mapX, f32([r[6] for r in rows]))
        same(region.mapY, f32([r[7] for r in rows]))
        same(region.start_time, np.array(TIMES)[findex])


@pytest.mark.parametrize("rows,title,points", [
    ([row(3, k) for k in range(25)], "Region 3 (25 points)", 25),
    ([row(1, k, nx=4, ny=5) for k in range(20)], "Region 1 (4 x 5)", 20),
    ([row(1, k, nx=4, ny=5, ary=1) for k in range(20)], "Region 1 (4 x 5)", 20),
    ([row(4, k, nx=3, ny=0) for k in range(2)], "Region 4 (2 points)", 2),
    ([row(5, 0, ary=2), row(5, 1, ary=2)], "Region 5 (0 x 0)", 0),
    ([row(6, 0, nx=3, ary=1)], "Region 6 (3 x 0)", 0)])
def test_region_sizes(tmp_path, rows, title, points):
    (region,) = get(regions_file(tmp_path, rows)).regions
    assert region.title == title
    for arr in (region.mapX, region.mapY, region.start_time):
        assert (arr.dtype, arr.shape) == (np.float64, (points,))
    same(region.spectra, SPECTRA[:points])


@pytest.mark.parametrize("groups", [[2, 0, 1], [8, 16, 0], [40, 7, -3, -2, 100000]])
def test_regions_in_set_order(tmp_path, groups):
    res = get(regions_file(tmp_path, [row(g, k) for k, g in enumerate(groups)]))
    assert titles(res) == [f"Region {g} (1 points)" for g in list(set(groups))]


def test_type_of_first_row_decides_grid_takes_consecutive_rows(tmp_path):
    rows = [row(0, 0, type_=1), row(0, 1), row(1, 2), row(1, 3, type_=4)]
    (region,) = get(regions_file(tmp_path, rows)).regions
    assert region.title == "Region 1 (2 points)"
    same(region.spectra, SPECTRA[[2, 3]])
    res = get(regions_file(tmp_path, [row(0, 0, 1.0, nx=2, ny=1), row(1, 9, 2.0)]))
    assert titles(res) == ["Region 0 (2 x 1)", "Region 1 (1 points)"]
    same(res.regions[0].spectra, SPECTRA[[0, 9]])
    same(res.regions[0].mapX, f32([1.0, 2.0]))


def without(column, rows):
    keep = [i for i, c in enumerate(REGION_COLUMNS) if c[0] != column]
    return dict(rows=[tuple(r[i] for i in keep) for r in rows], columns=[REGION_COLUMNS[i] for i in keep])


@pytest.mark.parametrize("column", ["Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex", "X", "Y"])
def test_missing_column(tmp_path, column):
    assert fails(KeyError, regions_file(tmp_path, **without(column, ROWS))).args == (column,)


def test_ary_type_read_only_for_regions_without_grid(tmp_path):
    res = get(regions_file(tmp_path, **without("AryType", [row(0, k, nx=2, ny=1) for k in range(2)])))
    assert titles(res) == ["Region 0 (2 x 1)"]


@pytest.mark.parametrize("rows,kw,exc", [
    ([row(0, 3)], dict(store_table=[[0, 1], [-1, 8], [5, 6]]), KeyError),  # no index 3
    ([row(0, 30)], {}, KeyError),
    ([row(0, k, nx=3, ny=3) for k in range(4)], {}, IndexError),  # 9 points, 4 rows
    (ROWS, dict(anno=False), ValueError),                           # no annotation block
    (ROWS, dict(anno=[]), KeyError),                                # no tables: no Group
])
def test_point_map_errors(tmp_path, rows, kw, exc):
    fails(exc, regions_file(tmp_path, rows, **kw))


# -------------------------------------------------------------- TRC point maps

def test_multi_region_trc(tmp_path):
    res = get(trc_file(tmp_path, TRC_ROWS), TRC)
    assert type(res) is ixarkit.MultiRegionTRCDataReturn
    assert res.labels == LABELS
    same(res.x, np.linspace(0.0, 5.0, 6))
    assert titles(res) == ["Region 0 (1 x 1)", "Region 1 (2 points)"]
    assert [r.start_time for r in res.regions] == [None, None]
    same(res.regions[0].spectra, TRACES[:, [5]].T.copy())
    same(res.regions[1].spectra, TRACES[:, [3, 0]].T.copy())
    same(res.regions[1].mapX, f32([0.5, 1.5]))
    res = get(trc_file(tmp_path, TRC_ROWS, info_size=100), TRC)   # short info records
    assert res.labels == []
    same(res.regions[1].spectra, TRACES[:, [3, 0]].T.copy())


@pytest.mark.parametrize("findex,column", [(1, 0), (6, 5), (0, 5), (-5, 0), (7, None), (-6, None)])
def test_trc_fileindex_picks_a_column(tmp_path, findex, column):
    path = trc_file(tmp_path, [row(0, findex)])
    if column is None:
        fails(IndexError, path, TRC)
    else:
        same(get(path, TRC).regions[0].spectra, TRACES[:, [column]].T.copy())


# -------------------------------------------------------- annotation tables

NUMBERS = [c for c in REGION_COLUMNS if c[1] != ANNO_TEXT]   # the eight number columns
POINTS = [row(0, 3, 1.25, 2.5), row(0, 4, -1.0, 0.5), row(1, 6, 9.0, 9.0)]


def check_points(res):
    assert titles(res) == ["Region 0 (2 points)", "Region 1 (1 points)"]
    same(res.regions[0].spectra, SPECTRA[[3, 4]])
    same(res.regions[0].mapX, f32([1.25, -1.0]))
    same(res.regions[1].mapY, f32([9.0]))


def test_text_columns(tmp_path):
    # Two text columns first, at offsets 48 and 52 of 56-byte rows: both are
    # read 8 bytes wide back to back, so the numbers follow from byte 16 on,
    # whatever their stated offsets.
    columns = [("Label", ANNO_TEXT, 48), ("Note", ANNO_TEXT, 52)] + [
        (name, code, 4 * k) for k, (name, code) in enumerate(NUMBERS)]
    header = anno_table(columns, [], row_len=56, nln=len(POINTS))
    body = b"".join(b"Label-AB" + b"Note-CD\0" + struct.pack("<6i2f", *r[:6], *r[6:8])
                    + bytes(8) for r in POINTS)
    check_points(get(regions_file(tmp_path, POINTS, anno=[header + body])))
    # a text column past the end of the row reads empty
    columns = [("Name", ANNO_TEXT, 40)] + [(n, c, 4 * k) for k, (n, c) in enumerate(NUMBERS)]
    table = anno_table(columns, [(r[8],) + r[:8] for r in POINTS], row_len=32)
    check_points(get(regions_file(tmp_path, POINTS, name="e.ixar", anno=[table])))


def test_later_table_wins_for_shared_column(tmp_path):
    tables = [anno_table(REGION_COLUMNS, POINTS),
              anno_table([("X", ANNO_FLOAT), ("Other", ANNO_INT)], [(7.5, 0), (8.5, 0), (0.0, 0)])]
    res = get(regions_file(tmp_path, POINTS, anno=tables))
    same(res.regions[0].mapX, f32([7.5, 8.5]))
    same(res.regions[0].mapY, f32([2.5, 0.5]))


def test_unknown_column_type_only_matters_with_rows(tmp_path):
    tables = [anno_table(REGION_COLUMNS, POINTS), anno_table([("Junk", 7)], [])]
    check_points(get(regions_file(tmp_path, POINTS, anno=tables)))
    tables[1] = anno_table([("Junk", 7)], [(1,)])
    err = fails(ValueError, regions_file(tmp_path, POINTS, name="u.ixar", anno=tables))
    assert str(err) == "Unknown annotation data type 7"


def test_single_row_of_length_zero(tmp_path):
    res = get(regions_file(tmp_path, POINTS[:1], anno=[anno_table(REGION_COLUMNS, POINTS[:1], src=0)]))
    assert titles(res) == ["Region 0 (1 points)"]
    same(res.regions[0].spectra, SPECTRA[[3]])


@pytest.mark.parametrize("anno,exc", [
    (lambda: [anno_table(REGION_COLUMNS, POINTS, nln=1000)], ValueError),  # rows past the end
    (lambda: [anno_table(REGION_COLUMNS, POINTS, src=0)], ValueError),
    (lambda: [anno_table(REGION_COLUMNS, POINTS, src=-4)], ValueError),
    (lambda: [anno_table(REGION_COLUMNS, POINTS, extra=[("SIZ", 120.0)])], TypeError),
    (lambda: [anno_table(REGION_COLUMNS, POINTS, extra=[("SRC", "36")])], TypeError),
    (lambda: [anno_table(REGION_COLUMNS, POINTS, extra=[("F08", 32.0)])], TypeError),
    (lambda: [anno_table(REGION_COLUMNS, POINTS, extra=[("NLN", 3.0)])], TypeError),
    (lambda: anno_block([anno_table(REGION_COLUMNS, POINTS)], dir_extra=[("F00", 60.0)]), TypeError),
    (lambda: [anno_table(REGION_COLUMNS, [row(0, 3, name=b"\xe9t\xe9")])], UnicodeDecodeError),
])
def test_bad_annotation_tables(tmp_path, anno, exc):
    fails(exc, regions_file(tmp_path, POINTS, anno=anno()))


# -------------------------------------------------------- reference reader
# A plain reader that follows the documented reading rules record by record
# with struct and numpy. It knows only what the files below hold: no side
# parameter blocks, no derivatives, natural record sizes, annotation tables
# that read back as written.

def r_int(f):
    return struct.unpack("<i", f.read(4))[0]


def r_text(raw):
    return raw.partition(b"\0")[0].decode("ascii")


def r_params(f, offset):
    f.seek(offset)
    params = {}
    while (name := f.read(4).decode("utf-8").strip("\0")) != "END":
        code, size = struct.unpack("<hh", f.read(4))
        params[name] = (r_int(f) if code == 0 else struct.unpack("<d", f.read(8))[0] if code == 1
                        else r_text(f.read(2 * size)))
    return params


def r_records(f, data, npt):
    """(index, values, z, label) of every record, in store-table order."""
    f.seek(data)
    _, _, start, block_size, info_size, count = struct.unpack("<6i", f.read(24))
    table = [struct.unpack("<ii", f.read(8)) for _ in range(count)]
    out, pos = [], data + start
    for first, last in table:
        pos += last if first == -1 else 0
        for n in range(first, last + 1) if first != -1 else ():
            f.seek(pos)
            values, info = np.frombuffer(f.read(4 * npt), np.float32), f.read(info_size)
            out.append((n, values, struct.unpack("<d", info[136:144])[0] if info_size >= 144 else None,
                        r_text(info[152:]) if info_size >= 152 else None))
            pos += block_size + info_size
    return out


def reference(path, trc, rows=None):
    """What a request reads from the file at path; the annotation rows of a
    multi-region map are taken as written."""
    with open(path, "rb") as f:
        f.seek(12)
        directory, _, count = struct.unpack("<3i", f.read(12))
        f.seek(directory)
        blocks = {}
        for _ in range(count):
            word, _, offset = struct.unpack("<3i", f.read(12))
            param, dtype, ext = (word >> 4) & 63, (word >> 10) & 127, (word >> 19) & 127
            if dtype == (7 if trc else 4) and ext == 10 and param in (0, 1):
                blocks[param] = offset
        p = r_params(f, blocks[1])
        records = r_records(f, blocks[0], p["NPT"])
        series = {r[0]: r for r in records}   # later offset, first place
        labels = [lb for _, _, _, lb in (records if "NPX" in p else series.values()) if lb is not None]
        out = dict(x=np.linspace(p["FXV"], p["LXV"], p["NPT"]))
        if {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"} <= p.keys():
            npx, npy = p["NPX"], p["NPY"]
            out.update(mapX=np.linspace(p["AOX"], p["AOX"] + p["DDX"] * (npx - 1), npx),
                       mapY=np.linspace(p["AOY"], p["AOY"] + p["DDY"] * (npy - 1), npy))
            if trc:
                return dict(out, labels=labels,
                            traces=np.dstack([v.reshape(npy, npx) for _, v, _, _ in records]))
            cube = np.zeros((npy * npx, p["NPT"]), np.float32)    # cells by running count
            cube[:len(records)] = [v for _, v, _, _ in records]
            return dict(out, spectra=cube.reshape(npy, npx, p["NPT"]))
        if "ZTX" in p:
            return dict(out, spectra=np.vstack([v for _, v, _, _ in series.values()]),
                        z=np.array([z for _, _, z, _ in series.values()]))
        traces = np.vstack([v for _, v, _, _ in series.values()])
        if rows is None:
            return dict(out, traces=traces, labels=labels)
    a, regions = dict(zip([c[0] for c in REGION_COLUMNS], zip(*rows))), []
    for first in [a["Group"].index(g) for g in set(a["Group"])]:
        if a["Type"][first] != 0:
            continue
        group, nx, ny = a["Group"][first], a["AryNX"][first], a["AryNY"][first]
        n = nx * ny
        if n == 0 and a["AryType"][first] == 0:
            n = a["Group"].count(group)
            title = f"Region {group} ({n} points)"
        else:
            title = f"Region {group} ({nx} x {ny})"
        points = [a["Fileindex"][i] for i in range(first, first + n)]
        regions.append(dict(title=title, mapX=f32(a["X"][first:first + n]), mapY=f32(a["Y"][first:first + n])))
        if trc:
            regions[-1].update(start_time=None, spectra=traces[:, np.array(points, int) - 1].T)
        else:
            regions[-1].update(start_time=np.array([series[i][2] for i in points], float),
                               spectra=np.array([series[i][1] for i in points], np.float32).reshape(n, p["NPT"]))
    return dict(out, regions=regions, **({"labels": labels} if trc else {}))


GAPPY = [[0, 2], [-1, 16], [1, 1], [6, 5], [3, 4]]      # gap, repeat, empty run
MIXED = [row(2, 4, 0.1), row(2, 0, 0.2), row(0, 1, 1.0, nx=2, ny=1), row(0, 2, 2.0), row(1, 3, 3.0, type_=1),
         row(3, 4, 4.0, ary=1), row(4, 1, -1.0)]
TRC_MIXED = [row(2, 6, 0.1), row(2, 1, 0.2), row(0, 2, 1.0, nx=2, ny=1), row(0, 5, 2.0), row(4, 3, -1.0)]
LABEL_SET = ["a", b"b\0junk", "", "dddddddddddd", "e", "f"]


CASES = {  # builder, its arguments and keyword arguments, TRC or not, result class
    "image": (image_map, (specials((3, 3, 5), 9), 1.0, 2.0), dict(
        aox=-1.1, ddx=0.7, store_table=[[0, 1], [-1, 12], [7, 7], [3, 2], [2, 4], [2, 2]]),
        False, ixarkit.ImageDataReturn),
    "trc image": (image_trc_map, (specials((2, 3, 4), 10), LABEL_SET[:4]), dict(
        aoy=3.3, ddy=0.1, store_table=[[0, 0], [-1, 20], [1, 1], [9, 8], [5, 6]]),
        True, ixarkit.ImageTRCDataReturn),
    "series": (time_resolved, (specials((6, 5), 11), np.arange(6) * 0.3, 9.0, 4.0), dict(store_table=GAPPY),
               False, ixarkit.TimeResolvedDataReturn),
    "traces": (trc_series, (specials((6, 5), 12), LABEL_SET), dict(store_table=GAPPY),
               True, ixarkit.TimeResolvedTRCDataReturn),
    "regions": (multi_region, (specials((6, 5), 13), MIXED, 7.0, 8.0), dict(
        start_times=np.arange(6) + 0.5, store_table=GAPPY), False, ixarkit.MultiRegionDataReturn),
    "trc regions": (multi_region, (specials((6, 6), 14), TRC_MIXED, 7.0, 8.0), dict(
        data_type=D_TRC, labels=LABEL_SET, store_table=GAPPY), True, ixarkit.MultiRegionTRCDataReturn),
}


def case_file(tmp_path, case, **kw):
    build, args, defaults, trc, _ = CASES[case]
    if build is multi_region:  # the annotation block first, so that a cut falls into the records
        f = IxarFile()
        f.add(bt(extend=EXT_ANNOTATION), anno_block([anno_table(REGION_COLUMNS, args[1])]))
        kw = dict(f=f, anno=False, **kw)
    return build(*args, **{**defaults, **kw}).write(tmp_path / "r.ixar"), TRC if trc else REQ


@pytest.mark.parametrize("case", CASES)
def test_matches_reference_reader(tmp_path, case):
    path, req = case_file(tmp_path, case)
    build, args, _, _, cls = CASES[case]
    res, ref = get(path, req), reference(path, req == TRC, args[1] if build is multi_region else None)
    assert type(res) is cls and (res.dataType, res.dimension, res.derivative) == req
    assert sorted(ref) == sorted(k for k in vars(res) if k not in {
        "dimension", "dataType", "derivative", "parameters", "minY", "maxY", "description"})
    for name, value in ref.items():
        if name == "regions":
            assert [r.title for r in res.regions] == [r["title"] for r in value]
            for got, want in zip(res.regions, value):
                for attr in ("mapX", "mapY", "spectra", "start_time"):
                    if want[attr] is None:
                        assert getattr(got, attr) is None
                    else:
                        same(getattr(got, attr), want[attr])
        elif name == "labels":
            assert res.labels == value
        else:
            same(getattr(res, name), value)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("n", [4, 30, 160, 170, 200])
def test_cut_short(tmp_path, case, n):
    path, req = case_file(tmp_path, case, store_table=None)   # one run: every byte is named
    fails(ValueError, cut(path, n), req)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("kw", [
    dict(block_kw=dict(number_entries=1000)),       # store table past the end
    dict(store_table=[[0, 2147483646]]),            # more records than the file holds
    dict(block_kw=dict(block_offset=-10**6)),      # records before the start: EINVAL
    dict(extra_params=[("NPT", 10**8)]),
], ids=str)
def test_damaged_3d_block(tmp_path, case, kw):
    path, req = case_file(tmp_path, case, **kw)
    negative = kw.get("block_kw", {}).get("block_offset", 0) < 0
    fails(OSError if negative else ValueError, path, req)


def test_sparse_numbering_reads_like_dense(tmp_path):
    # Spectrum numbers far apart (a lookup table would not fit) find their records all the same.
    step = 10**6
    dense = get(regions_file(tmp_path, ROWS, name="d.ixar"))
    sparse_rows = [r[:5] + (r[5] * step,) + r[6:] for r in ROWS]
    sparse = get(regions_file(tmp_path, sparse_rows, name="s.ixar",
                              store_table=[[k * step, k * step] for k in range(30)]))
    assert titles(sparse) == titles(dense)
    for a, b in zip(dense.regions, sparse.regions):
        for name in ("spectra", "mapX", "mapY", "start_time"):
            same(getattr(a, name), getattr(b, name))
