"""getIxarData on multi-region point maps (spectra and TRC), their annotation
tables, and a cross-check of every 3D family against a plain reference reader."""

import os
import struct

import numpy as np
import pytest

import ixarkit
import checks
from checks import same
from ixarwriter import (ANNO_FLOAT, ANNO_INT, ANNO_TEXT, D_TRC, EXT_ANNOTATION,
                        REGION_COLUMNS, IxarFile, anno_block, anno_table,
                        block_type as bt, image_map, image_trc_map, multi_region,
                        special_floats as specials, time_resolved, trc_series)

REQ = ("AB", "3D", "NONE")
TRC = ("TRC", "3D", "NONE")
SPECTRA = specials((30, 5), seed=7)             # 30 spectra of five points
TIMES = [1000.0 + 0.1 * k for k in range(30)]
TRACES = specials((3, 6), seed=8)               # three traces over six points
LABELS = ["area", "height", "ratio"]


def row(group, findex, x=0.0, y=0.0, nx=0, ny=0, type_=0, ary=0, name=""):
    return (group, type_, nx, ny, ary, findex, x, y, name)


def f32(values):
    """Annotation floats come back as the float32 values widened to float64."""
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def get(path, req=REQ):
    return ixarkit.getIxarData(path, req)


def regions_file(tmp_path, rows, name="m.ixar", **kw):
    return multi_region(SPECTRA, rows, 3100.0, 1000.0, start_times=TIMES,
                        **kw).write(tmp_path / name)


def trc_file(tmp_path, rows, name="t.ixar", **kw):
    return multi_region(TRACES, rows, 0.0, 5.0, data_type=D_TRC, labels=LABELS,
                        **kw).write(tmp_path / name)




def fails(exc, path, req=REQ):
    return checks.fails(exc, path, req)


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
    ([row(6, 0, nx=3, ary=1)], "Region 6 (3 x 0)", 0),
])
def test_region_sizes(tmp_path, rows, title, points):
    (region,) = get(regions_file(tmp_path, rows)).regions
    assert region.title == title
    for arr in (region.mapX, region.mapY, region.start_time):
        assert (arr.dtype, arr.shape) == (np.float64, (points,))
    same(region.spectra, SPECTRA[:points])


@pytest.mark.parametrize("groups", [[2, 0, 1], [8, 16, 0], [40, 7, -3, -2, 100000]])
def test_regions_in_set_order(tmp_path, groups):
    rows = [row(g, k) for k, g in enumerate(groups)]
    res = get(regions_file(tmp_path, rows))
    assert titles(res) == [f"Region {g} (1 points)" for g in list(set(groups))]


def test_type_of_first_row_decides(tmp_path):
    rows = [row(0, 0, type_=1), row(0, 1), row(1, 2), row(1, 3, type_=4)]
    (region,) = get(regions_file(tmp_path, rows)).regions
    assert region.title == "Region 1 (2 points)"
    same(region.spectra, SPECTRA[[2, 3]])


def test_grid_takes_consecutive_rows_of_any_group(tmp_path):
    rows = [row(0, 0, 1.0, nx=2, ny=1), row(1, 9, 2.0)]
    res = get(regions_file(tmp_path, rows))
    assert titles(res) == ["Region 0 (2 x 1)", "Region 1 (1 points)"]
    same(res.regions[0].spectra, SPECTRA[[0, 9]])
    same(res.regions[0].mapX, f32([1.0, 2.0]))


@pytest.mark.parametrize("column", ["Group", "Type", "AryNX", "AryNY", "AryType",
                                    "Fileindex", "X", "Y"])
def test_missing_column(tmp_path, column):
    keep = [i for i, c in enumerate(REGION_COLUMNS) if c[0] != column]
    rows = [tuple(r[i] for i in keep) for r in ROWS]
    columns = [REGION_COLUMNS[i] for i in keep]
    assert fails(KeyError, regions_file(tmp_path, rows, columns=columns)).args == (column,)


def test_ary_type_read_only_for_regions_without_grid(tmp_path):
    keep = [i for i, c in enumerate(REGION_COLUMNS) if c[0] != "AryType"]
    rows = [tuple(row(0, k, nx=2, ny=1)[i] for i in keep) for k in range(2)]
    res = get(regions_file(tmp_path, rows, columns=[REGION_COLUMNS[i] for i in keep]))
    assert titles(res) == ["Region 0 (2 x 1)"]


@pytest.mark.parametrize("rows,kw,exc", [
    ([row(0, 3)], dict(store_table=[[0, 1], [-1, 8], [5, 6]]), KeyError),  # no index 3
    ([row(0, 30)], {}, KeyError),
    ([row(0, k, nx=3, ny=3) for k in range(4)], {}, IndexError),  # 9 points, 4 rows
    (ROWS, dict(anno=False), ValueError),                           # no annotation block
    (ROWS, dict(anno=[]), KeyError),                                # no tables: no Group
    (ROWS, dict(block_kw=dict(number_entries=1000)), ValueError),   # table past the end
    (ROWS, dict(store_table=[[0, 2147483646]]), ValueError),
])
def test_point_map_errors(tmp_path, rows, kw, exc):
    fails(exc, regions_file(tmp_path, rows, **kw))


@pytest.mark.parametrize("cut", [4, 170])
@pytest.mark.parametrize("trc", [False, True])
def test_cut_short(tmp_path, trc, cut):
    # annotation block first, so that the cut falls into the last record
    rows = TRC_ROWS if trc else ROWS
    f = IxarFile()
    f.add(bt(extend=EXT_ANNOTATION), anno_block([anno_table(REGION_COLUMNS, rows)]))
    build = trc_file if trc else regions_file
    path = build(tmp_path, rows, anno=False, f=f)
    with open(path, "r+b") as fh:
        fh.truncate(os.path.getsize(path) - cut)
    fails(ValueError, path, TRC if trc else REQ)


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


@pytest.mark.parametrize("findex,column", [(1, 0), (6, 5), (0, 5), (-5, 0),
                                           (7, None), (-6, None)])
def test_trc_fileindex_picks_a_column(tmp_path, findex, column):
    path = trc_file(tmp_path, [row(0, findex)])
    if column is None:
        fails(IndexError, path, TRC)
    else:
        same(get(path, TRC).regions[0].spectra, TRACES[:, [column]].T.copy())


def test_trc_short_info_records(tmp_path):
    res = get(trc_file(tmp_path, TRC_ROWS, info_size=100), TRC)
    assert res.labels == []
    same(res.regions[1].spectra, TRACES[:, [3, 0]].T.copy())


# -------------------------------------------------------- annotation tables

NUMBERS = [c for c in REGION_COLUMNS if c[1] != ANNO_TEXT]   # the eight number columns
POINTS = [row(0, 3, 1.25, 2.5), row(0, 4, -1.0, 0.5), row(1, 6, 9.0, 9.0)]


def check_points(res):
    assert titles(res) == ["Region 0 (2 points)", "Region 1 (1 points)"]
    same(res.regions[0].spectra, SPECTRA[[3, 4]])
    same(res.regions[0].mapX, f32([1.25, -1.0]))
    same(res.regions[1].mapY, f32([9.0]))


def test_two_text_columns_read_with_the_widest_width(tmp_path):
    # Two text columns first, at offsets 48 and 52 of 56-byte rows: both are
    # read 8 bytes wide back to back, so the numbers follow from byte 16 on,
    # whatever their stated offsets.
    columns = [("Label", ANNO_TEXT, 48), ("Note", ANNO_TEXT, 52)] + [
        (name, code, 4 * k) for k, (name, code) in enumerate(NUMBERS)]
    header = anno_table(columns, [], row_len=56, nln=len(POINTS)).tobytes()
    body = b"".join(b"Label-AB" + b"Note-CD\0" + struct.pack("<6i2f", *r[:6], *r[6:8])
                    + bytes(8) for r in POINTS)
    check_points(get(regions_file(tmp_path, POINTS, anno=[header + body])))


def test_text_column_past_row_end_reads_empty(tmp_path):
    columns = [("Name", ANNO_TEXT, 40)] + [(n, c, 4 * k) for k, (n, c) in enumerate(NUMBERS)]
    rows = [(r[8],) + r[:8] for r in POINTS]
    table = anno_table(columns, rows, row_len=32)
    check_points(get(regions_file(tmp_path, POINTS, anno=[table])))


def test_later_table_wins_for_shared_column(tmp_path):
    tables = [anno_table(REGION_COLUMNS, POINTS),
              anno_table([("X", ANNO_FLOAT), ("Other", ANNO_INT)], [(7.5, 0), (8.5, 0), (0.0, 0)])]
    res = get(regions_file(tmp_path, POINTS, anno=tables))
    same(res.regions[0].mapX, f32([7.5, 8.5]))
    same(res.regions[0].mapY, f32([2.5, 0.5]))


def test_unknown_column_type(tmp_path):
    tables = [anno_table(REGION_COLUMNS, POINTS), anno_table([("Junk", 7)], [])]
    check_points(get(regions_file(tmp_path, POINTS, anno=tables)))
    tables[1] = anno_table([("Junk", 7)], [(1,)])
    err = fails(ValueError, regions_file(tmp_path, POINTS, name="u.ixar", anno=tables))
    assert str(err) == "Unknown annotation data type 7"


def test_single_row_of_length_zero(tmp_path):
    table = anno_table(REGION_COLUMNS, POINTS[:1], src=0)
    res = get(regions_file(tmp_path, POINTS[:1], anno=[table]))
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
    (lambda: anno_block([anno_table(REGION_COLUMNS, POINTS)], dir_extra=[("F00", 60.0)]),
     TypeError),
    (lambda: [anno_table(REGION_COLUMNS, [row(0, 3, name=b"\xe9t\xe9")])], UnicodeDecodeError),
])
def test_bad_annotation_tables(tmp_path, anno, exc):
    fails(exc, regions_file(tmp_path, POINTS, anno=anno()))


# -------------------------------------------------------- reference reader
# A plain reader that follows the documented reading rules record by record,
# with numpy.fromfile for the values and struct for everything else. It knows
# only what the files below hold: no side parameter blocks, no derivatives.

def r_int(f):
    return struct.unpack("<i", f.read(4))[0]


def r_text(f, size):
    return f.read(size).partition(b"\0")[0].decode("ascii")


def r_params(f, offset):
    f.seek(offset)
    params = {}
    while True:
        name = f.read(4).decode("utf-8").strip("\0")
        if name == "END":
            return params
        code, size = struct.unpack("<hh", f.read(4))
        if code == 0:
            params[name] = r_int(f)
        elif code == 1:
            params[name] = struct.unpack("<d", f.read(8))[0]
        else:
            params[name] = r_text(f, 2 * size)


def r_store_table(f, offset):
    f.seek(offset)
    _, _, block_offset, block_size, info_size, count = struct.unpack("<6i", f.read(24))
    table = [list(struct.unpack("<ii", f.read(8))) for _ in range(count)]
    return table, offset + block_offset, block_size, info_size


def r_offsets(f, offset):
    table, pos, block_size, info_size = r_store_table(f, offset)
    offsets = {}
    for first, last in table:
        if first == -1:
            pos += last
            continue
        for n in range(first, last + 1):
            offsets[n] = pos
            pos += block_size + info_size
    return offsets


def r_annotations(f, offset):
    annotations = {}
    directory = r_params(f, offset + 12)
    for k in range(directory["NRP"]):
        table = offset + directory[f"F{k:02d}"]
        header = r_params(f, table)
        columns, strlen = [], -1
        for i in range(header["NCO"]):
            col = (header[f"S{i:02d}"], header[f"F{i:02d}"], header[f"T{i:02d}"])
            columns.append(col)
            annotations[col[0]] = []
            if col[2] in (1004, 1005, 1011):
                strlen = max(strlen, header["SRC"] - col[1])
        for r in range(header["NLN"]):
            f.seek(table + header["SIZ"] + r * header["SRC"])
            for name, _, code in columns:
                if code == 4:
                    annotations[name].append(r_int(f))
                elif code == 5:
                    annotations[name].append(struct.unpack("<f", f.read(4))[0])
                else:
                    annotations[name].append(r_text(f, strlen))
    return annotations


def r_image(f, data, p, trc):
    npt, npx, npy = p["NPT"], p["NPX"], p["NPY"]
    out = dict(mapX=np.linspace(p["AOX"], p["AOX"] + p["DDX"] * (npx - 1), npx),
               mapY=np.linspace(p["AOY"], p["AOY"] + p["DDY"] * (npy - 1), npy))
    cube, maps, labels, index = np.zeros((npy, npx, npt), dtype=np.float32), [], [], 0
    table, pos, _, info_size = r_store_table(f, data)
    f.seek(pos)
    for first, last in table:
        if first == -1:
            f.read(last)
            continue
        for _ in range(first, last + 1):
            if trc:
                maps.append(np.fromfile(f, dtype=np.float32, count=npt).reshape(npy, npx))
                if info_size >= 152:
                    f.read(152)
                    labels.append(r_text(f, info_size - 152))
                else:
                    f.read(info_size)
            else:
                cube[index // npx][index % npx] = np.fromfile(f, dtype=np.float32, count=npt)
                f.read(info_size)
                index += 1
    return dict(out, traces=np.dstack(maps), labels=labels) if trc else dict(out, spectra=cube)


def r_series(f, data, npt, trc):
    info_size = r_store_table(f, data)[3]
    rows, z, labels = [], [], []
    for offset in r_offsets(f, data).values():
        f.seek(offset)
        rows.append(np.fromfile(f, dtype=np.float32, count=npt))
        if trc:
            if info_size >= 152:    # shorter info records carry no label
                f.seek(152, 1)
                labels.append(r_text(f, info_size - 152))
        else:
            f.seek(136, 1)
            z.append(struct.unpack("<d", f.read(8))[0])
    return dict(traces=np.vstack(rows), labels=labels) if trc else \
        dict(spectra=np.vstack(rows), z=np.array(z))


def r_regions(f, data, anno, npt, trc):
    a = r_annotations(f, anno)
    offsets = r_offsets(f, data)
    out = {}
    if trc:
        out = r_series(f, data, npt, True)
        trace_array = out.pop("traces")
    regions = []
    for first in [a["Group"].index(g) for g in set(a["Group"])]:
        if a["Type"][first] != 0:
            continue
        group, nx, ny = a["Group"][first], a["AryNX"][first], a["AryNY"][first]
        nspec = nx * ny
        if nspec == 0 and a["AryType"][first] == 0:
            nspec = a["Group"].count(group)
            title = f"Region {group} ({nspec} points)"
        else:
            title = f"Region {group} ({nx} x {ny})"
        map_x, map_y, start = np.zeros(nspec), np.zeros(nspec), np.zeros(nspec)
        spectra = np.zeros((nspec, trace_array.shape[0] if trc else npt), dtype=np.float32)
        for n in range(nspec):
            findex = a["Fileindex"][first + n]
            map_x[n], map_y[n] = a["X"][first + n], a["Y"][first + n]
            if trc:
                spectra[n] = trace_array[:, findex - 1]
            else:
                f.seek(offsets[findex])
                spectra[n] = np.fromfile(f, dtype=np.float32, count=npt)
                f.seek(136, 1)
                start[n] = struct.unpack("<d", f.read(8))[0]
        regions.append(dict(title=title, mapX=map_x, mapY=map_y, spectra=spectra,
                            start_time=None if trc else start))
    return dict(out, regions=regions)


def reference(path, kind):
    trc = kind == "TRC"
    with open(path, "rb") as f:
        f.seek(12)
        directory_offset, _, count = r_int(f), r_int(f), r_int(f)
        f.seek(directory_offset)
        data = params = anno = -1
        for _ in range(count):
            word, _, offset = struct.unpack("<3i", f.read(12))
            param, dtype, ext = (word >> 4) & 63, (word >> 10) & 127, (word >> 19) & 127
            if dtype == (7 if trc else 4) and ext == 10 and param in (0, 1):
                data, params = (offset, params) if param == 0 else (data, offset)
            elif ext == 11:
                anno = offset
        p = r_params(f, params)
        out = dict(x=np.linspace(p["FXV"], p["LXV"], p["NPT"]))
        if {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"} <= p.keys():
            return dict(out, **r_image(f, data, p, trc))
        if "ZTX" in p:
            return dict(out, **r_series(f, data, p["NPT"], False))
        if anno == -1 and trc:
            return dict(out, **r_series(f, data, p["NPT"], True))
        return dict(out, **r_regions(f, data, anno, p["NPT"], trc))


GAPPY = [[0, 2], [-1, 16], [1, 1], [6, 5], [3, 4]]      # gap, repeat, empty run
MIXED = ([row(2, 4, 0.1), row(2, 0, 0.2), row(0, 1, 1.0, nx=2, ny=1), row(0, 2, 2.0),
          row(1, 3, 3.0, type_=1), row(3, 4, 4.0, ary=1), row(4, 1, -1.0)])
TRC_MIXED = [row(2, 6, 0.1), row(2, 1, 0.2), row(0, 2, 1.0, nx=2, ny=1), row(0, 5, 2.0),
             row(4, 3, -1.0)]
LABEL_SET = ["a", b"b\0junk", "", "dddddddddddd", "e", "f"]

CASES = {
    "image": (lambda: image_map(specials((3, 3, 5), 9), 1.0, 2.0, aox=-1.1, ddx=0.7,
                                store_table=[[0, 1], [-1, 12], [7, 7], [3, 2], [2, 4], [2, 2]]),
              "AB", ixarkit.ImageDataReturn),
    "trc image": (lambda: image_trc_map(specials((2, 3, 4), 10), LABEL_SET[:4], aoy=3.3,
                                        ddy=0.1, store_table=[[0, 0], [-1, 20], [1, 1],
                                                              [9, 8], [5, 6]]),
                  "TRC", ixarkit.ImageTRCDataReturn),
    "series": (lambda: time_resolved(specials((6, 5), 11), np.arange(6) * 0.3, 9.0, 4.0,
                                     store_table=GAPPY), "AB", ixarkit.TimeResolvedDataReturn),
    "traces": (lambda: trc_series(specials((6, 5), 12), LABEL_SET, store_table=GAPPY),
               "TRC", ixarkit.TimeResolvedTRCDataReturn),
    "regions": (lambda: multi_region(specials((6, 5), 13), MIXED, 7.0, 8.0,
                                     start_times=np.arange(6) + 0.5, store_table=GAPPY),
                "AB", ixarkit.MultiRegionDataReturn),
    "trc regions": (lambda: multi_region(specials((6, 6), 14), TRC_MIXED, 7.0, 8.0,
                                         data_type=D_TRC, labels=LABEL_SET,
                                         store_table=GAPPY),
                    "TRC", ixarkit.MultiRegionTRCDataReturn),
}


@pytest.mark.parametrize("case", list(CASES))
def test_matches_reference_reader(tmp_path, case):
    build, kind, cls = CASES[case]
    path = build().write(tmp_path / "r.ixar")
    res = get(path, (kind, "3D", "NONE"))
    ref = reference(path, kind)
    assert type(res) is cls
    for name, value in ref.items():
        if name == "regions":
            assert len(res.regions) == len(value)
            for got, want in zip(res.regions, value):
                assert got.title == want["title"]
                for attr in ("mapX", "mapY", "spectra"):
                    same(getattr(got, attr), want[attr])
                if want["start_time"] is None:
                    assert got.start_time is None
                else:
                    same(got.start_time, want["start_time"])
        elif name == "labels":
            assert res.labels == value
        else:
            same(getattr(res, name), value)
