"""The fast reads against the reference executor, which reads one record at a
time: generated files of every family, with regions that share rows,
repeated and jumping Fileindex values, short traces and cut files, through
both ways of reading trace maps. Both must give the same values bit for bit,
or the same exception."""

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB3, same

TRC = ("TRC", "3D", "NONE")


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


def cases():
    rng = np.random.default_rng(18)
    sp = rng.random((9, 40)).astype(np.float32)
    yield "regions sharing rows", AB3, w.multi_region(
        sp, w.region_rows(1, [(0, 0), (1, 0)], 0, nx=2, ny=1) + w.region_rows(0, [(5, 5), (6, 6)], 1)
        + w.region_rows(1, [(2, 2)], 4), 1.0, 2.0, start_times=list(np.arange(9.0)))
    yield "region traces, column blocks", TRC, region_traces(rng, rng.random((5, 300)).astype(np.float32), 24)
    yield "region traces, batches", TRC, region_traces(rng, rng.random((4200, 300)).astype(np.float32), 40, 2)
    yield "region traces, short", TRC, region_traces(rng, rng.random((3, 12)).astype(np.float32), 17)
    yield "region traces, no labels", TRC, region_traces(rng, rng.random((4, 30)).astype(np.float32), 9, 2, 100)
    yield "image", AB3, w.image_map(rng.random((5, 6, 40)), 1, 2, store_table=[[0, 10], [-1, 20], [11, 29]])
    yield "image traces", TRC, w.image_trc_map(rng.random((3, 4, 5)), list("abcde"))
    yield "series", AB3, w.time_resolved(sp, np.arange(9.0), 1, 2, store_table=[[0, 1], [-1, 4], [2, 8]])
    yield "traces", TRC, w.trc_series(sp, [f"l{i}" for i in range(9)])
    yield "single", ("AB", "2D", "NONE"), w.single_spectrum(sp[0], 10.0, 1.0)


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


def read_both(data, req):
    src = ixarkit._core.Source(data)
    outcomes = []
    for read in (src.read, src.read_reference):
        try:
            outcomes.append(arrays(read(req)))
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
        else:
            assert fast[k] == v, k


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("cut", [0, 3, 170])
def test_fast_reads_agree_with_the_reference(name, cut):
    req, data = CASES[name]
    fast, reference = read_both(data[:len(data) - cut], req)
    agree(fast, reference)
    if not cut:
        assert not isinstance(reference, tuple)


def test_points_that_share_a_column_take_its_values():
    traces = np.random.default_rng(3).random((3, 12)).astype(np.float32)
    index = [3, 4, 4, 5, 5, 6, 9, 10, 1]   # eight sorted columns that span seven
    rows = [(0, 0, 0, 0, 0, k, float(n), 0.0, "") for n, k in enumerate(index)]
    got = ixarkit._core.Source(w.multi_region(traces, rows, 1.0, 2.0, data_type=w.D_TRC).tobytes()).read(TRC)
    same(got.regions[0].spectra, traces[:, np.array(index) - 1].T.copy())


@pytest.mark.parametrize("name", ["region traces, column blocks", "image", "series", "traces"])
def test_partial_reads_are_slices_of_the_whole(name):
    req, data = CASES[name]
    with ixarkit.open(data) as f:
        block = f[req]
        whole = np.asarray(block)
        rng = np.random.default_rng(7)
        for _ in range(20):
            index = tuple(np.sort(rng.choice(n, size=int(rng.integers(1, n + 1)), replace=False)) if n else slice(None)
                          for n in block.shape)
            same(block[np.ix_(*index)], whole[np.ix_(*index)])
        far = block.shape[-1] - 1
        same(block[..., [0, far, 0]], whole[..., [0, far, 0]])
