"""getIxarData on time-resolved 3D blocks: spectra with z values, TRC traces
with labels (of TRC images too), and the dispatch between the 3D families."""

import struct

import numpy as np
import pytest

import ixarkit
from checks import AB3 as REQ, TRC, fails, get, same
from ixarwriter import (D_AB, D_TRC, EXT_3D, EXT_ANNOTATION, P_OWN, REGION_COLUMNS, IxarFile,
                        anno_block, anno_table, block3d, block_type as bt, image_trc_map,
                        info_record, param_block, region_rows, spectrum_params,
                        special_floats as specials, time_resolved, trc_series)

SPECTRA = specials((5, 6), seed=3)      # five spectra of six points
Z = [0.0, 0.1, -2.5, 1e-300, 3600.125]
TRACES = specials((4, 6), seed=4)       # four traces of six points
LABELS = ["CO2", "H2O band", "", "ratio 1/2"]


def series(tmp_path, spectra=SPECTRA, z=Z, name="s.ixar", **kw):
    return time_resolved(spectra, z, 2400.0, 1500.0, **kw).write(tmp_path / name)


def traces(tmp_path, arr=TRACES, labels=LABELS, name="t.ixar", **kw):
    return trc_series(arr, labels, 1.5, -2.0, **kw).write(tmp_path / name)


def test_time_resolved_spectra(tmp_path):
    res = get(series(tmp_path, extra_params=[("MNY", -1.0), ("MXY", 2.0)]))
    assert type(res) is ixarkit.TimeResolvedDataReturn
    assert (res.dataType, res.dimension, res.derivative) == REQ
    same(res.spectra, SPECTRA)
    same(res.z, np.array(Z))
    same(res.x, np.linspace(2400.0, 1500.0, 6))
    assert (res.minY, res.maxY) == (-1.0, 2.0)
    assert res.parameters == {"NPT": 6, "FXV": 2400.0, "LXV": 1500.0, "MXY": 2.0,
                              "MNY": -1.0, "ZTX": "Time (s)"}


# Records lie in the file in table order; each case gives the records that
# come back, in the order of the offset map.
@pytest.mark.parametrize("table,order", [
    ([[0, 4]], [0, 1, 2, 3, 4]),
    ([[0, 1], [-1, 40], [2, 4]], [0, 1, 2, 3, 4]),
    ([[0, 1], [5, 4], [2, 4]], [0, 1, 2, 3, 4]),
    ([[3, 4], [0, 2]], [0, 1, 2, 3, 4]),           # table order, not index order
    ([[0, 2], [1, 1], [3, 3]], [0, 3, 2, 4]),       # later offset, first place
    ([[0, 1], [0, 0]], [2, 1]),
    ([[0, 1], [-1, -184], [2, 2]], [0, 1, 1]),      # a gap may step back
])
def test_records_follow_the_offset_map(tmp_path, table, order):
    res = get(series(tmp_path, store_table=table))
    same(res.spectra, SPECTRA[order])
    same(res.z, np.array(Z)[order])
    if table[1:2] != [[-1, -184]]:   # the step back is sized for spectrum records
        arr, labels = specials((5, 6), seed=6), [f"trace {k}" for k in range(5)]
        res = get(traces(tmp_path, arr=arr, labels=labels, store_table=table), TRC)
        same(res.traces, arr[order])
        assert res.labels == [labels[k] for k in order]


def test_z_follows_the_values_not_the_block_size(tmp_path):
    # Data parts of 8 floats for NPT 6: the z value is read 136 bytes behind
    # the sixth value (byte 128 of the info record), the next spectrum
    # blockSize + infoSize further on.
    records = []
    for k, row in enumerate(specials((3, 8), seed=5)):
        info = bytearray(info_record(160, z=-1.0))
        info[128:136] = struct.pack("<d", k + 0.5)
        records.append((row, bytes(info)))
    f = IxarFile()
    f.add(bt(param=P_OWN, data=D_AB, extend=EXT_3D),
          param_block(spectrum_params(6, 1.0, 6.0, 0.0, 1.0, [("ZTX", "t")])))
    f.add(bt(data=D_AB, extend=EXT_3D), block3d(records))
    res = get(f.write(tmp_path / "s.ixar"))
    same(res.spectra, specials((3, 8), seed=5)[:, :6])
    same(res.z, np.array([0.5, 1.5, 2.5]))


def test_trc_request_with_ztx_reads_spectra(tmp_path):
    res = get(series(tmp_path, data_type=D_TRC), TRC)
    assert type(res) is ixarkit.TimeResolvedDataReturn and res.dataType == "TRC"
    same(res.spectra, SPECTRA)
    same(res.z, np.array(Z))


def test_one_spectrum_needs_no_record_size(tmp_path):
    res = get(series(tmp_path, spectra=SPECTRA[:1], z=Z[:1], block_kw=dict(block_size=-160)))
    same(res.spectra, SPECTRA[:1])


@pytest.mark.parametrize("image", [False, True])
@pytest.mark.parametrize("info_size,label,expected", [
    (200, "Band 1", "Band 1"),
    (200, b"ab\0cd", "ab"),           # cut at the first NUL
    (160, "ABCDEFGH", "ABCDEFGH"),    # field full, no NUL
    (152, "lost", ""),
    (100, "lost", None),              # short info record: the traces stay, no labels
])
def test_trace_labels(tmp_path, image, info_size, label, expected):
    if image:
        cube = specials((2, 2, 4), seed=1)
        res = get(image_trc_map(cube, [label] * 4, info_size=info_size).write(tmp_path / "i.ixar"), TRC)
        same(res.traces, cube)
    else:
        res = get(traces(tmp_path, labels=[label] * 4, info_size=info_size), TRC)
        same(res.traces, TRACES)
    assert res.labels == ([] if expected is None else [expected] * 4)


def test_label_not_ascii(tmp_path):
    fails(UnicodeDecodeError, traces(tmp_path, labels=["a", b"\xff", "b", "c"]), TRC)
    path = image_trc_map(specials((2, 2, 4)), [b"caf\xe9"] * 4).write(tmp_path / "i.ixar")
    fails(UnicodeDecodeError, path, TRC)


SIX = [("AOX", 0.0), ("AOY", 0.0), ("DDX", 1.0), ("DDY", 1.0), ("NPX", 5), ("NPY", 1)]


def with_anno(f):
    rows = region_rows(0, [(0.0, 0.0)] * 6, 1)
    f.add(bt(extend=EXT_ANNOTATION), anno_block([anno_table(REGION_COLUMNS, rows)]))
    return f


@pytest.mark.parametrize("build,req,cls", [
    (lambda: time_resolved(SPECTRA, Z, 1.0, 2.0, extra_params=SIX), REQ, "ImageDataReturn"),
    (lambda: time_resolved(SPECTRA, Z, 1.0, 2.0, extra_params=SIX[:-1]), REQ, "TimeResolvedDataReturn"),
    (lambda: trc_series(TRACES, LABELS, extra_params=SIX[1:]), TRC, "TimeResolvedTRCDataReturn"),
    (lambda: with_anno(trc_series(TRACES, LABELS)), TRC, "MultiRegionTRCDataReturn"),
    (lambda: with_anno(time_resolved(SPECTRA, Z, 1.0, 2.0, data_type=D_TRC)), TRC, "TimeResolvedDataReturn")])
def test_dispatch(tmp_path, build, req, cls):
    assert type(get(build().write(tmp_path / "d.ixar"), req)) is getattr(ixarkit, cls)


@pytest.mark.parametrize("kw", [
    dict(store_table=[]), dict(store_table=[[5, 4]]), dict(store_table=[[-1, 8]]),
    dict(block_kw=dict(block_size=-1000)),         # records of negative size
], ids=str)
def test_bad_series(tmp_path, kw):
    fails(ValueError, series(tmp_path, **kw))
    fails(ValueError, traces(tmp_path, **kw), TRC)
