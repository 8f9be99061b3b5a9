"""The fast reads against the reference executor, which reads one record at a
time: generated files of every family, with regions that share rows,
repeated and jumping Fileindex values, short traces and cut files, through
both ways of reading trace maps. Both must give the same values bit for bit,
or the same exception. Bands and other column selections of every record,
through each kind of source (a path: a descriptor, where records lying close
are read with the bytes between them through a staging buffer; bytes in
memory; a file object), equal the same columns of the reference's read."""

import io

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB2, AB3, TRC, main_array, reports, same  # noqa: F401 - a fixture


def region_traces(rng, traces, points, regions=3, info_size=None):
    """Loose regions of points whose Fileindex values repeat, run in steps and
    jump; regions share rows (the same rows listed in several groups)."""
    count, npt = traces.shape
    rows = []
    for g in range(regions):
        start = int(rng.integers(1, max(2, npt - 7)))
        runs = [start + np.arange(8) // 2, start + np.arange(8), rng.integers(-npt + 1, npt + 1, points)]
        for n, k in enumerate(np.concatenate(runs)[:points]):
            rows.append((g % 2, 0, 0, 0, 0, int(k) or 1, float(n), float(g), ""))
    labels = [f"t{i}" for i in range(count)]
    return w.multi_region(traces, rows, 1.0, 2.0, data_type=w.D_TRC, labels=labels, info_size=info_size)


def _values(rng, *shape):
    # random bits, NaN payloads and signed zeros included: any value moved wrong shows
    return rng.integers(0, 2**32, shape, dtype=np.uint32).view(np.float32)


def cases():
    rng = np.random.default_rng(41)
    # records 1,400 bytes apart: bands read through staging with the bytes between them; 5,760 apart: a call each
    yield "image, short records", AB3, w.image_map(_values(rng, 12, 10, 310), 1.0, 2.0)
    yield "image, long records", AB3, w.image_map(_values(rng, 6, 7, 1400), 1.0, 2.0)
    # the last 4 cells without records (zeros), runs of records with a gap between them
    cube = _values(rng, 5, 6, 200)
    records = [(s, w.info_record(160)) for s in cube.reshape(30, 200)[np.r_[0:11, 15:30]]]
    yield "image, empty cells", AB3, w._add_3d(cube, 200, 1.0, 2.0, records, store_table=[[0, 10], [-1, 333], [15, 29]],
                                               grid=(0.0, 0.0, 1.0, 1.0, 6, 5))
    yield "series, short records", AB3, w.time_resolved(_values(rng, 700, 64), np.arange(700.0), 1, 2)
    yield "series, long records", AB3, w.time_resolved(_values(rng, 40, 1100), np.arange(40.0), 1, 2)
    rows = w.region_rows(1, rng.uniform(0, 9, (24, 2)), 0) + w.region_rows(0, rng.uniform(0, 9, (36, 2)), 24, nx=6, ny=6)
    yield "multi-region", AB3, w.multi_region(_values(rng, 60, 90), rows, 1.0, 2.0)
    yield "single, random bits", AB2, w.single_spectrum(_values(rng, 5000), 1.0, 2.0)
    rng = np.random.default_rng(18)
    sp = rng.random((9, 40)).astype(np.float32)
    yield "regions sharing rows", AB3, w.multi_region(
        sp, w.region_rows(1, [(0, 0), (1, 0)], 0, nx=2, ny=1) + w.region_rows(0, [(5, 5), (6, 6)], 1)
        + w.region_rows(1, [(2, 2)], 4), 1.0, 2.0, start_times=list(np.arange(9.0)))
    yield "region traces, one column block", TRC, region_traces(rng, rng.random((5, 300)).astype(np.float32), 24)
    yield "region traces, batches", TRC, region_traces(rng, rng.random((4200, 300)).astype(np.float32), 40, 2)
    yield "region traces, short", TRC, region_traces(rng, rng.random((3, 12)).astype(np.float32), 17)
    yield "region traces, no labels", TRC, region_traces(rng, rng.random((4, 30)).astype(np.float32), 9, 2, 100)
    for k, index in enumerate([[3, 4, 4, 5, 5, 6, 9, 10, 1], [1, 2, 3, 4, 5, 6, 7, 7, 12]]):  # points sharing columns:
        rows = [(0, 0, 0, 0, 0, c, float(n), 0.0, "") for n, c in enumerate(index)]  # eight sorted that span seven,
        yield f"region traces, shared columns {k}", TRC, w.multi_region(  # seven in a row, then one again
            rng.random((3, 12)).astype(np.float32), rows, 1.0, 2.0, data_type=w.D_TRC)
    yield "image", AB3, w.image_map(rng.random((5, 6, 40)), 1, 2, store_table=[[0, 10], [-1, 20], [11, 29]])
    yield "image traces", TRC, w.image_trc_map(rng.random((3, 4, 5)), list("abcde"))
    yield "series", AB3, w.time_resolved(sp, np.arange(9.0), 1, 2, store_table=[[0, 1], [-1, 4], [2, 8]])
    yield "traces", TRC, w.trc_series(sp, [f"l{i}" for i in range(9)])
    yield "single", ("AB", "2D", "NONE"), w.single_spectrum(sp[0], 10.0, 1.0)
    # more than 512 records with gaps between them in one direct read; many short ones through the staging
    yield "long records", AB3, w.time_resolved(rng.random((600, 600)), rng.random(600), 1, 2)
    yield "long cells", AB3, w.image_map(rng.random((30, 30, 600)), 1, 2)
    yield "long spectrum", ("AB", "2D", "NONE"), w.single_spectrum(rng.random(10000).astype(np.float32), 1.0, 2.0)
    yield "long series", AB3, w.time_resolved(rng.random((3, 10000)), rng.random(3), 1, 2)
    yield "short records", AB3, w.time_resolved(rng.random((2000, 16)), rng.random(2000), 1, 2)
    # several blocks of columns of every trace
    yield "region traces, column blocks", TRC, region_traces(rng, rng.random((600, 4000)).astype(np.float32), 30)


CASES = {name: (req, f.tobytes()) for name, req, f in cases()}


def arrays(result):
    """Every array and label of a result, by name."""
    out = {}
    for name, value in vars(result).items():
        if name == "regions":
            for i, r in enumerate(value):
                out.update({f"{i}.{k}": v for k, v in vars(r).items()})
        else:
            out[name] = value
    return out


def planned(data, req):
    """A data set of bytes or a file object, planned for reads by either executor."""
    return ixarkit._reader.plan(ixarkit._sources.open_source(data), ixarkit._request.check(req))


def read_both(data, req, through="bytes"):
    outcomes = []
    for reference in (False, True):
        try:
            outcomes.append(arrays(planned(data if through == "bytes" else io.BytesIO(data), req).read(reference)))
        except Exception as e:  # noqa: BLE001 - the two must fail alike
            outcomes.append((type(e), str(e)))
    return outcomes


def agree(fast, reference):
    if isinstance(reference, tuple):
        assert fast == reference
        return
    assert fast.keys() == reference.keys()
    for k, v in reference.items():
        if isinstance(v, np.ndarray):
            same(fast[k], v)
        else:  # (parameters of random bits hold NaN: their texts are compared)
            assert fast[k] == v or repr(fast[k]) == repr(v), k


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("cut", [0, 3, 170, 5000])
def test_fast_reads_agree_with_the_reference(name, cut):
    req, data = CASES[name]
    through = "file object" if cut in (170,) else "bytes"
    fast, reference = read_both(data[:len(data) - cut], req, through)
    agree(fast, reference)
    if not cut:
        assert not isinstance(reference, tuple)


@pytest.mark.parametrize("name", ["long spectrum", "long series"])
@pytest.mark.parametrize("index", [[0, 2999, 9999], [0, 5000, 5001, 9999], [9999, 5001, 0, 5000], [4097, 0]])
def test_windows_far_apart(name, index):
    # Columns more than a window apart: each window read on its own, the last
    # one moved back inside the record, every value picked from its window
    # (of every record: each record's row of the staging).
    req, data = CASES[name]
    with ixarkit.open(data) as f:
        block = f[req]
        same(block[..., index], getattr(block.read(), block._family.main)[..., index])


GAP = [[0, 1], [-1, 600], [2, 2]]


def test_last_trace_ending_at_the_end_of_the_file():
    # The annotations first, the traces last, the file cut right behind the last trace's values.
    traces = np.random.default_rng(9).random((3, 300)).astype(np.float32)
    rows = [(0, 0, 0, 0, 0, k, float(k), 0.0, "") for k in (1, 2, 300)]
    f = w.IxarFile()
    f.add(w.block_type(extend=w.EXT_ANNOTATION), w.anno_block([w.anno_table(w.REGION_COLUMNS, rows)]))
    data = w.multi_region(traces, rows, 1.0, 2.0, data_type=w.D_TRC, labels=list("abc"), anno=False, f=f,
                          store_table=GAP).tobytes()  # the gap leaves room to cut the last record
    data = data[:int(ixarkit.open(data)[TRC]._info.records[-1]) + traces.shape[1] * 4]
    for reference in (False, True):
        got = planned(data, TRC).read(reference)
        same(got.regions[0].spectra, traces[:, [0, 1, 299]].T.copy())
        assert got.labels == ["a", "b", ""]


@pytest.mark.parametrize("cut, held", [(20, 4), (36, 0)])  # half of the last time's bytes (none zero), or none
def test_a_time_cut_by_the_end_of_the_file(tmp_path, reports, cut, held):
    # getIxarData gives 0 for it and reports the read, once; our API raises
    data = w.time_resolved(np.ones((3, 4)), [1.5, 2.5, 1234.5678], 1, 2, store_table=GAP).tobytes()[:-cut]
    (tmp_path / "cut.ixar").write_bytes(data)
    same(ixarkit.getIxarData(str(tmp_path / "cut.ixar"), AB3).z, np.array([1.5, 2.5, 0.0]))
    assert (counts := reports()[0])["readDouble"] == 1 and sum(counts.values()) == 1
    for reference in (False, True):
        with pytest.raises(ValueError, match=f"{held} of its bytes"):
            planned(data, AB3).read(reference)
    with ixarkit.open(data) as f:
        with pytest.raises(ValueError, match=f"{held} of its bytes"):
            f[AB3].coords


@pytest.mark.parametrize("req,findex,exc", [(AB3, 1.0, None), (AB3, 1.5, KeyError), (TRC, 2.0, IndexError),
                                            (TRC, 2.5, IndexError)])
def test_fileindex_that_is_not_whole(tmp_path, req, findex, exc):
    columns = [c if c[0] != "Fileindex" else ("Fileindex", w.ANNO_FLOAT) for c in w.REGION_COLUMNS]
    rows = [(0, 0, 0, 0, 0, 2.0, 0.0, 0.0, ""), (0, 0, 0, 0, 0, findex, 1.0, 0.0, "")]
    sp = np.arange(15, dtype=np.float32).reshape(3, 5)
    data = w.multi_region(sp, rows, 1.0, 2.0, columns=columns, data_type=w.D_TRC if req == TRC else w.D_AB,
                          labels=list("abc") if req == TRC else None).tobytes()
    fast, reference = read_both(data, req)
    agree(fast, reference)
    if exc:  # numpy takes no float as an index, whole or not
        assert fast[0] is exc
    else:
        same(fast["0.spectra"][1], sp[int(findex)])


@pytest.mark.parametrize("cut", [41, 333, 399])
def test_cut_records_say_how_many_values_they_hold(cut):
    data = w.time_resolved(np.ones((5, 100), dtype=np.float32), np.arange(5.0), 1, 2,
                           store_table=[[0, 3], [-1, 600], [4, 4]]).tobytes()
    end = int(ixarkit.open(data)[AB3]._info.records[4]) + cut
    for reference in (False, True):
        pytest.raises(ValueError, planned(data[:end], AB3).read, reference).match(
            f"spectrum 4 at offset \\d+ holds {cut // 4} of its 100 values")


@pytest.mark.parametrize("name", ["region traces, one column block", "image", "image traces", "region traces, short",
                                  "series", "traces", "single", "long records", "regions sharing rows"])
def test_selections_in_any_order_with_repeats(name):
    # Per-axis indexes as given: unsorted, repeated, runs and gaps mixed, strided either way, far apart. The family
    # table holds a row for each planner of the core; the core's layout a record per element of its record axes.
    assert {n for n, _ in ixarkit._core.FAMILIES} == set(ixarkit._families.FAMILIES)
    req, data = CASES[name]
    with ixarkit.open(data) as f:
        block = f[req]
        assert len(block._info.records) == int(np.prod([block.shape[a] for a in block._family.record_axes], dtype=np.int64))
        whole, rng = np.asarray(block), np.random.default_rng(11)
        for k in range(30):  # a few indexes per axis, or up to as many as the axis holds
            index = np.ix_(*[rng.integers(0, n, int(rng.integers(1, n + 1 if k % 2 else 7))) for n in block.shape])
            same(block[index], whole[index])
        steps = tuple(slice(None, None, -2) if n % 2 else slice(1, None, 3) for n in block.shape)
        same(block[steps], whole[steps], block[..., [0, -1, 0]], whole[..., [0, -1, 0]])


@pytest.mark.parametrize("npt", [0, 3])
def test_a_record_just_before_the_file(npt):
    # Its seek fails, whether or not it holds values, though its time value would lie inside the file.
    first = int(ixarkit.open(w.time_resolved(np.ones((2, npt)), [1.0, 2.0], 1, 2).tobytes())[AB3]._info.records[0])
    gap = -50 - first - (4 * npt + 160)
    data = w.time_resolved(np.ones((2, npt)), [1.0, 2.0], 1, 2, store_table=[[0, 0], [-1, gap], [1, 1]]).tobytes()
    fast, reference = read_both(data, AB3)
    assert fast == reference and fast[0] is OSError


def test_traces_of_no_values_past_the_end():
    # A trace map of no values (an empty map) whose second trace lies past the end of the file: nothing to read.
    data = w.image_trc_map(np.ones((0, 3, 2)), ["a", "b"], store_table=[[0, 0], [-1, 1000], [1, 1]]).tobytes()
    data = data[:int(ixarkit.open(data)[TRC]._info.records[0]) + 400]
    fast, reference = read_both(data, TRC)
    agree(fast, reference)
    assert fast["labels"] == ["a", ""]


def columns(npt):
    """Selections of the value axis: bands of 10 and 100, one value, all but the ends, every third, every 50th,
    far apart, repeated, reversed."""
    return [slice(npt // 2, npt // 2 + 10), slice(npt // 4, npt // 4 + 100), slice(npt - 1, npt), slice(1, npt - 1),
            slice(2, npt, 3), slice(0, npt, 50), [0, npt // 2, npt - 1], [5, 5, 6, 2, 2, npt - 1, 5], slice(npt - 3, 4, -7)]


def sources(data, tmp_path):
    (path := tmp_path / "band.ixar").write_bytes(data)
    return {"path": str(path), "bytes": data, "file object": io.BytesIO(data)}


COLUMNS = ["image, short records", "image, long records", "image, empty cells", "series, short records",
           "series, long records", "multi-region", "single, random bits"]


@pytest.mark.parametrize("through", ["path", "bytes", "file object"])
@pytest.mark.parametrize("name", COLUMNS)
def test_value_selections_equal_the_whole_read_and_the_reference(tmp_path, name, through):
    req, data = CASES[name]
    with ixarkit.open(sources(data, tmp_path)[through]) as f:
        block = f[req]
        reference = main_array(ixarkit._reader.plan(f._source, ixarkit._request.check(req)).read(reference=True))
        same(block[...], reference)
        leads = [(slice(None),) * (block.ndim - 1)]
        if block.ndim == 3:  # records not read one after the other: every other row, cells in any order
            leads += [(slice(None, None, 2), slice(None)), ([3, 0, 3], [block.shape[1] - 1, 1]),
                      (slice(1, 2), slice(None, None, -1))]
        for k, lead in enumerate(leads):
            for sel in columns(block.shape[-1]):
                index = lead + (sel,) if k == 0 else np.ix_(*[np.arange(n)[s] for n, s in zip(block.shape, lead + (sel,))])
                same(block[index], reference[index])


def test_a_band_of_a_file_cut_short_fails_as_the_whole_read(tmp_path):
    # the last records lie past the end: the band's read of them fails as the whole read does
    req, data = CASES["image, short records"]
    cut = data[:len(data) - 3000]
    for through, source in sources(cut, tmp_path).items():
        with ixarkit.open(source) as f:
            block = f[req]
            whole, band = pytest.raises(ValueError, block.read), pytest.raises(ValueError, lambda: block[:, :, 100:110])
            assert str(band.value).split(":")[0] == str(whole.value).split(":")[0], through


def test_memory_reused_by_a_read_reads_zero_where_records_are_missing(tmp_path):
    # a result of 2 MiB or more takes a block of memory that an earlier result of its size may have
    # held: cells without a record must read 0 all the same, values of every record must be there
    rng = np.random.default_rng(5)
    full = _values(rng, 40, 40, 400)
    stored = full.reshape(1600, 400)[:1500]
    records = [(s, w.info_record(160)) for s in stored]
    gapped = w._add_3d(full, 400, 1.0, 2.0, records, grid=(0.0, 0.0, 1.0, 1.0, 40, 40))
    expected = np.zeros_like(full)
    expected.reshape(1600, 400)[:1500] = stored
    with ixarkit.open(w.image_map(full, 1.0, 2.0).write(tmp_path / "full.ixar")) as f, \
            ixarkit.open(gapped.write(tmp_path / "gapped.ixar")) as g:
        kept = f[AB3].read().spectra  # an array that still views its block when later reads reuse memory
        for index in [(Ellipsis,), (slice(None), slice(None), slice(0, 400)), (slice(None), slice(None), [0, 1, 399])]:
            for _ in range(3):
                written = f[AB3][index]
                same(written, full[index])
                del written
                same(g[AB3][index], expected[index])
                same(g[AB3].read().spectra, expected, kept, full)
