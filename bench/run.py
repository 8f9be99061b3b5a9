"""Benchmarks every ixarkit extraction path against the bulk-read limit.

    PYTHONPATH=src python3 bench/run.py [--size full|small] [--repeats N] [--only TEXT]

Writes its files with the test-file writer into a temporary folder, reads each
once to warm the page cache, then per case prints the median time of a call,
that of its limit (the plainest numpy read of the same bytes, in the same run),
their ratio, and the call's peak extra memory beside the size of the arrays it
returns. Times are of repeated calls in one process: page cache and memory
allocator are warm for a call and its limit alike. Each result is checked
against a per-spectrum numpy reader (reference.py) first; any difference makes
the script exit 1. Missed targets are marked **MISS**; they do not change the
exit status. Targets on times hold for the full-size files: at --small they
are marked n/a (not applicable), met or not.
"""

import argparse
import functools
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

import numpy as np

import files
import reference as ref

import ixarkit

SIZES = {
    "full": dict(image=(128, 128, 1700), image_trc=(128, 128, 50), series=(100_000, 64),
                 traces=(2_000, 4_096), regions=(20_000, 256, 5), spectrum=(65_536,),
                 directory=(20_000,)),
    "small": dict(image=(32, 32, 400), image_trc=(32, 32, 10), series=(5_000, 64),
                  traces=(200, 512), regions=(2_000, 64, 5), spectrum=(65_536,),
                  directory=(2_000,)),
}
SLACK_MB, MB = 16, 1e6
# Targets of one call per fresh process, as a ratio to the bulk-read limit.
FRESH_TARGETS = {"image cube": 1.10, "image TRC": 1.25, "time-resolved series": 1.10,
                 "multi-region spectra": 1.25, "multi-region TRC": 1.25, "2D spectrum": 2.0}


# Limits: the plainest numpy read of the bytes a call needs.
def record_area(path, request):
    """One np.fromfile of all records of the 3D block, info records included."""
    b = ref.Block(path, request[0])
    start, count = b.area_start, b.area_bytes
    fn = lambda: np.fromfile(path, np.uint8, count, offset=start)  # noqa: E731
    fn.span = (start, count)
    return fn


def spectrum_bytes(path, request):
    b = ref.Block(path, request[0], "2D")
    start, count = b.data, b.npt
    fn = lambda: np.fromfile(path, np.float32, count, offset=start)  # noqa: E731
    fn.span = (start, 4 * count)
    return fn


def directory_bytes(path, request):
    n = len(ref.directory(path))
    return lambda: np.fromfile(path, "<i4", 3 * n, offset=24)


@dataclass
class Case:
    name: str
    path: str
    request: Optional[tuple]       # None: listContents
    expected: Callable             # (path, kind) -> what the reference reader finds
    limit: Callable
    target: Optional[float]        # ratio to the limit
    entries: int = 0               # directory size: the target is 1 µs per entry
    span: Optional[tuple] = None   # (offset, bytes) the limit reads

    def call(self):
        if self.request is None:
            return ixarkit.listContents(self.path)
        return ixarkit.getIxarData(self.path, self.request)


def make_cases(tmp, size, only):
    rng, dims = np.random.default_rng(5), SIZES[size]
    n = dims["directory"][0]
    table = [  # name, builder, sizes, reference, limit, target
        ("image cube", files.image_cube, "image", ref.image, record_area, 1.25),
        ("image TRC", files.image_traces, "image_trc", ref.image, record_area, None),
        ("time-resolved series", files.series, "series", ref.time_resolved, record_area, 1.25),
        ("time-resolved traces", files.series_traces, "traces", ref.time_resolved, record_area,
         None),
        ("multi-region spectra", files.regions, "regions", ref.multi_region, record_area, 1.5),
        ("multi-region TRC", functools.partial(files.regions, traces=True), "regions",
         ref.multi_region, record_area, 1.5),
        ("2D spectrum", files.spectrum, "spectrum", ref.single, spectrum_bytes, 3.0),
        (f"listContents, {n} entries", files.big_directory, "directory", ref.listing,
         directory_bytes, None),
        (f"selection, {n} entries", files.big_directory, "directory", ref.single,
         directory_bytes, None),
    ]
    cases, built = [], {}
    for name, build, key, expected, limit, target in table:
        if only not in name:
            continue
        if (build, key) not in built:  # the two directory cases share a file
            path = str(tmp / f"{len(built)}.ixar")
            built[build, key] = path, build(path, rng, *dims[key])
        path, request = built[build, key]
        fn = limit(path, request)
        cases.append(Case(name, path, None if name.startswith("listContents") else request,
                          expected, fn, target, n if "entries" in name else 0, getattr(fn, "span", None)))
    return cases


def medians(fns, repeats, min_run=0.05):
    """Median seconds per call of each fn. Calls are batched so that a timed
    run lasts at least min_run; runs of the fns alternate; each result is
    dropped as soon as it is returned."""
    loops = []
    for fn in fns:
        fn()  # warm-up, untimed
        t = time.perf_counter()
        fn()
        loops.append(max(1, round(min_run / max(time.perf_counter() - t, 1e-6))))
    runs = [[] for _ in fns]
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            for fn, n, out in zip(fns, loops, runs):
                t = time.perf_counter()
                for _ in range(n):
                    fn()
                out.append((time.perf_counter() - t) / n)
    finally:
        gc.enable()
    return [statistics.median(r) for r in runs]


# Peak memory: one call in a fresh interpreter that has imported ixarkit. The
# kernel's peak-RSS mark (VmHWM) is reset to the current RSS just before the
# call, so the figure is the largest growth of resident memory during the
# call: every allocation that was touched (numpy arrays, C++ buffers, Python
# objects), the returned arrays included; the file's page cache is not part
# of it (the reader does positioned reads, no mapping). Linux only.
CHILD = """
import json, sys, ixarkit
def kb(key):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key))
path, request = json.loads(sys.argv[1])
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = kb("VmRSS:")
if request is None:
    result = ixarkit.listContents(path)
else:
    result = ixarkit.getIxarData(path, tuple(request))
print(kb("VmHWM:") - before)
"""


def python(*args):
    """stdout of a fresh interpreter that imports the same ixarkit as this one."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [
        str(Path(ixarkit.__file__).resolve().parent.parent), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True,
                          check=True).stdout


def peak_extra_mb(case):
    return int(python("-c", CHILD, json.dumps([case.path, case.request]))) * 1024 / MB


def import_ms(modules, repeats):
    """Median ms of importing each module in a fresh interpreter, runs alternating."""
    code = ("import sys, time; t = time.perf_counter(); __import__(sys.argv[1]); "
            "print(time.perf_counter() - t)")
    runs = [[float(python("-c", code, m)) for m in modules] for _ in range(repeats)]
    return [statistics.median(r) * 1e3 for r in zip(*runs)]


def array_bytes(obj):
    if isinstance(obj, np.ndarray):
        return obj.nbytes
    if isinstance(obj, (list, tuple)):
        return sum(map(array_bytes, obj))
    return sum(map(array_bytes, vars(obj).values())) if hasattr(obj, "__dict__") else 0


def diff(want, got, where="result"):
    """Differences between the reference's expectation and a result; a dict
    stands for the attributes of a result object or region."""
    if isinstance(want, np.ndarray):
        if not isinstance(got, np.ndarray) or (got.dtype, got.shape) != (want.dtype, want.shape):
            return [f"{where}: expected {want.dtype} {want.shape}, got "
                    f"{getattr(got, 'dtype', type(got).__name__)} {getattr(got, 'shape', '')}"]
        bits = f"u{want.itemsize}"  # bitwise: -0.0, NaN payloads and all
        wrong = np.count_nonzero(got.view(bits) != want.view(bits))
        return [f"{where}: {wrong} of {want.size} values differ"] if wrong else []
    if isinstance(want, dict) and not isinstance(got, dict):
        return [d for key, w in want.items()
                for d in diff(w, getattr(got, key, None), f"{where}.{key}")]
    if isinstance(want, list) and want and isinstance(want[0], dict):
        if not isinstance(got, list) or len(got) != len(want):
            return [f"{where}: expected {len(want)} items"]
        return [d for i, (w, g) in enumerate(zip(want, got)) for d in diff(w, g, f"{where}[{i}]")]
    return [] if got == want else [f"{where}: expected {str(want)[:60]}, got {str(got)[:60]}"]


def run_case(case, repeats):
    res = case.call()
    kind = case.request[0] if case.request else None
    problems = diff(case.expected(case.path, kind), res)
    result_mb = array_bytes(res) / MB
    del res
    ms, limit_ms = (s * 1e3 for s in medians([case.call, case.limit], repeats))
    return dict(name=case.name, ms=ms, limit_ms=limit_ms, target=case.target,
                per_entry=ms * 1e3 / case.entries if case.entries else None,
                peak=peak_extra_mb(case), result=result_mb, problems=problems)


def verdict(target, ok, size, timed=True):
    """The target column: the target, marked **MISS** where it was missed.
    Targets on times are set for the full-size files; at another size they
    are not applicable (n/a), met or not. Targets on bytes and memory hold
    at any size."""
    if timed and size != "full":
        return f"n/a ({target} at full size)"
    return target + ("" if ok else " **MISS**")


def row(r, size):
    miss = " **MISS**"
    ratio = r["ms"] / r["limit_ms"]
    if r.get("per_entry") is not None:
        target = f"{r['per_entry']:.2f} µs/entry " + verdict("≤ 1", r["per_entry"] <= 1, size)
    elif r.get("target"):
        target = verdict(f"≤ {r['target']:g}×", ratio <= r["target"], size)
    else:
        target = "—"
    peak, result = "—", "—"
    if "peak" in r:
        budget = r["result"] + SLACK_MB
        peak = f"{r['peak']:.1f}" + (f"{miss} (> {budget:.1f})" if r["peak"] > budget else "")
        result = f"{r['result']:.1f}"
    name = r["name"] + (" (WRONG RESULT)" if r.get("problems") else "")
    return (f"| {name} | {r['ms']:.3f} | {r['limit_ms']:.3f} | {ratio:.2f}× | {target} "
            f"| {peak} | {result} |")


# ---------------------------------------------------------------- the handle API

class CountingFile:
    """A binary file object without a descriptor that counts the bytes read
    through it, so that the handle reads through seek and readinto."""

    def __init__(self, path):
        self._f, self.bytes = open(path, "rb"), 0

    def seek(self, *a):
        return self._f.seek(*a)

    def readinto(self, buf):
        n = self._f.readinto(buf)
        self.bytes += n or 0
        return n

    def read(self, n=-1):
        data = self._f.read(n)
        self.bytes += len(data)
        return data


PARTIAL_CHILD = """
import json, sys, ixarkit
def kb(key):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key))
path, request, index = json.loads(sys.argv[1])
f = ixarkit.open(path)
block = f[tuple(request)]
block.shape
with open("/proc/self/clear_refs", "w") as fh:
    fh.write("5")
before = kb("VmRSS:")
part = block[tuple(slice(*i) if isinstance(i, list) else i for i in index)]
print(kb("VmHWM:") - before, part.nbytes)
"""


def handle_cases(tmp, size, repeats):
    """Rows of the handle API's table, and whether each met its target."""
    rng, dims = np.random.default_rng(9), SIZES[size]
    cube_path = str(tmp / "handle-cube.ixar")
    request = files.image_cube(cube_path, rng, *dims["image"])
    npy, npx, npt = dims["image"]
    rows = []

    def add(name, ms, limit_ms, target, ok, note="", timed=True):
        rows.append(dict(name=name, ms=ms, limit_ms=limit_ms, target=verdict(target, ok, size, timed), note=note))

    with ixarkit.open(cube_path) as f:
        block = f[request]
        full = block.read().spectra
        pixel, band = (npy // 2, npx // 3), (slice(None), slice(None), slice(npt // 2, npt // 2 + 10))
        band100 = (slice(None), slice(None), slice(npt // 2, npt // 2 + 100))
        if any(block[i].tobytes() != full[i].tobytes() for i in (pixel, band, band100)):
            raise SystemExit("handle API: a selection differs from the full read")
        t_pixel, t_band, t_band100, t_full = medians(
            [lambda: block[pixel], lambda: block[band], lambda: block[band100], block.read], repeats)
        cold = cold_medians([lambda: block[band], lambda: block[band100], block.read], 3)
    counting = CountingFile(cube_path)
    with ixarkit.open(counting) as f:
        block = f[request]
        block.shape
        start = counting.bytes
        block[pixel]
        pixel_bytes = counting.bytes - start
        start = counting.bytes
        block[band]
        band_bytes = counting.bytes - start
    record = 4 * npt
    add(f"one pixel of a {npy} x {npx} x {npt} cube", t_pixel * 1e3, t_full * 1e3, "≥ 200× faster",
        t_full / t_pixel >= 200, f"{pixel_bytes} bytes read (one record: {record})")
    add("a band of 10 points", t_band * 1e3, t_full * 1e3,
        verdict("≤ 0.3× full read", t_band <= 0.3 * t_full, size) + ", ≤ 1/10 of the bytes",
        band_bytes <= full.nbytes / 10,
        f"{t_band / t_full:.2f}× the full read; {band_bytes / 1e6:.2f} MB read of {full.nbytes / 1e6:.1f} "
        "through a file object", timed=False)
    add("a band of 100 points", t_band100 * 1e3, t_full * 1e3, "≤ 0.3× full read", t_band100 <= 0.3 * t_full,
        f"{t_band100 / t_full:.2f}× the full read")
    for name, t in (("a band of 10 points, cold", cold and cold[0]), ("a band of 100 points, cold", cold and cold[1])):
        if cold:  # readahead brings in the pages between the bands: about the full read's time
            rows.append(dict(name=name, ms=t * 1e3, limit_ms=cold[2] * 1e3, target="—",
                             note=f"{t / cold[2]:.2f}× the full read, cold; page cache dropped before each read "
                                  "(median of 3)"))
        else:
            rows.append(dict(name=name, ms=float("nan"), limit_ms=float("nan"), target="n/a",
                             note="the page cache cannot be dropped here (needs root)"))
    series_path = str(tmp / "handle-series.ixar")
    series_request = files.series(series_path, rng, *dims["series"])
    with ixarkit.open(series_path) as f:
        block = f[series_request]
        count, npt_series = block.shape
        band = (slice(None), slice(npt_series // 2, npt_series // 2 + 10))
        if block[band].tobytes() != block.read().spectra[band].tobytes():
            raise SystemExit("handle API: a band of the series differs from the full read")
        t_band, t_full = medians([lambda: block[band], block.read], repeats)
    add(f"a band of 10 points of a {count:,} x {npt_series} series", t_band * 1e3, t_full * 1e3, "≤ full read",
        t_band <= t_full, f"{t_band / t_full:.2f}× the full read: records 416 bytes apart, read with the bytes "
        "between them")
    peak, part = map(int, python("-c", PARTIAL_CHILD, json.dumps([cube_path, request, [[None], [None],
                                                                  [npt // 2, npt // 2 + 10]]])).split())
    add("peak memory of the band read", peak / 1e3, part / 1e6, "≤ selection + 8 MB",
        peak * 1024 <= part + 8e6, "MB, against the selection's MB", timed=False)

    many = str(tmp / "handle-many.ixar")
    files.many_data_sets(many, rng, 20, 4096)
    keys = [(t, d, "NDER" if v == "3DER" else v) for t, d, v in ixarkit.listContents(many)]

    def with_handle():
        with ixarkit.open(many) as f:
            return [f[k].read() for k in keys]

    t_handle, t_calls = medians([with_handle, lambda: [ixarkit.getIxarData(many, k) for k in keys]], repeats)
    add(f"{len(keys)} data sets through one handle", t_handle * 1e3, t_calls * 1e3, "faster than getIxarData calls",
        t_handle < t_calls)
    return rows


def drop_page_cache():
    """Drops the kernel's page cache (root only); False where refused."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as fh:
            fh.write("1")
        return True
    except OSError:
        return False


def cold_medians(fns, repeats):
    """Median seconds of one call of each fn with the page cache dropped
    just before it, calls alternating; None where it cannot be dropped."""
    runs = [[] for _ in fns]
    for _ in range(repeats):
        for fn, out in zip(fns, runs):
            if not drop_page_cache():
                return None
            t = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t)
    return [statistics.median(r) for r in runs]


# ---------------------------------------------------------------- fresh processes

FRESH_CHILD = """
import json, sys, time
import numpy as np, ixarkit
path, request, start, count = json.loads(sys.argv[1])
t = time.perf_counter()
result = ixarkit.listContents(path) if request is None else ixarkit.getIxarData(path, tuple(request))
call = time.perf_counter() - t
del result
t = time.perf_counter()
np.fromfile(path, np.uint8, count, offset=start)
print(call, time.perf_counter() - t)
"""


def fresh_ratio(case, runs):
    """Median ms of one call in a fresh interpreter, and of one np.fromfile of
    the bytes it needs in the same interpreter, each its process's first read."""
    start, count = case.span
    times = [tuple(map(float, python("-c", FRESH_CHILD, json.dumps([case.path, case.request, start, count])).split()))
             for _ in range(runs)]
    return statistics.median(t[0] for t in times) * 1e3, statistics.median(t[1] for t in times) * 1e3


# ---------------------------------------------------------------- scaling

def scaling_cases(tmp, size, repeats):
    """Time per unit of work as the work grows: anything super-linear stands out."""
    rng = np.random.default_rng(11)
    full = size == "full"
    rows = []

    def time_call(path, request):
        return medians([lambda: ixarkit.getIxarData(path, request)], repeats, min_run=0.01)[0]

    def beyond_result(path, request, n):
        """Peak memory of a call in a fresh process beyond its result, against
        the budget of 16 MB plus 64 bytes per annotation row."""
        extra = int(python("-c", CHILD, json.dumps([path, request]))) * 1024
        result = array_bytes(ixarkit.getIxarData(path, request))
        over = extra - result
        return f"{over / MB:.1f} MB beyond the result ({over / n:.0f} B/row){' **over budget**' if over > 16 * MB + 64 * n else ''}"

    def whole_file(path, gb):
        limit = medians([lambda: np.fromfile(path, np.uint8)], 3, min_run=0.0)[0]
        return f"np.fromfile of the file: {limit * 1e3 / gb:.0f} ms/GB"

    counts = [10_000, 100_000] + ([1_000_000] if full else [])
    for n in counts:
        for jump in (1, 1009):
            path = str(tmp / f"scale-{n}-{jump}.ixar")
            req = files.regions_scaling(path, rng, n, 16, 5, jump)
            t = time_call(path, req)
            rows.append((f"multi-region, {n:,} rows, numbering {'dense' if jump == 1 else 'with jumps'}",
                         t * 1e3, t * 1e6 / n, "µs/row", beyond_result(path, req, n)))
            os.remove(path)
    n = 100_000 if full else 10_000
    path = str(tmp / "scale-regions.ixar")
    req = files.regions_scaling(path, rng, n, 16, 1000)
    t = time_call(path, req)
    rows.append((f"multi-region, 1,000 regions of {n // 1000} points", t * 1e3, t * 1e6 / 1000, "µs/region",
                 beyond_result(path, req, n)))
    # The same reads on two threads at once, against one after the other
    # (median of 5 rounds of each).
    calls = 2 * max(2, repeats)

    def serial():
        t0 = time.perf_counter()
        for _ in range(calls):
            ixarkit.getIxarData(path, req)
        return time.perf_counter() - t0

    def two_threads():
        threads = [threading.Thread(target=lambda: [ixarkit.getIxarData(path, req) for _ in range(calls // 2)])
                   for _ in range(2)]
        t0 = time.perf_counter()
        [th.start() for th in threads]
        [th.join() for th in threads]
        return time.perf_counter() - t0

    rounds = [(serial(), two_threads()) for _ in range(5)]
    one, both = statistics.median(r[0] for r in rounds), statistics.median(r[1] for r in rounds)
    rows.append(("the same on two threads", both * 1e3 / calls, both * 1e6 / calls / 1000, "µs/region",
                 f"{one / both:.2f}× the calls of one thread"))
    os.remove(path)
    entries = 200_000 if full else 20_000
    path = str(tmp / "scale-dir.ixar")
    files.big_directory(path, rng, entries)
    t = medians([lambda: ixarkit.listContents(path)], repeats, min_run=0.01)[0]
    rows.append((f"listContents, {entries:,} entries", t * 1e3, t * 1e6 / entries, "µs/entry"))
    os.remove(path)
    cubes = [(0.1, (64, 128, 3200)), (1.0, (256, 256, 4000))] if full else [(0.01, (32, 32, 2500))]
    for gb, dims in cubes:
        path = str(tmp / f"scale-cube-{gb}.ixar")
        req = files.image_cube(path, rng, *dims)
        t = time_call(path, req)
        rows.append((f"image cube of {gb:g} GB", t * 1e3, t * 1e3 / gb, "ms/GB", whole_file(path, gb)))
        os.remove(path)
    # 4 GB: written as a sparse file (the test-file writer would need about
    # 12 GB for real values), whose records the kernel reads as zeros, with
    # room for the result and the page cache.
    gb, dims = (4.0, (512, 512, 3800)) if full else (0.04, (64, 64, 2400))
    need = 2 * int(gb * 1e9) + (1 << 30)
    avail = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if avail >= need and sparse_ok(tmp, int(gb * 1e9)):
        path = str(tmp / "scale-cube-sparse.ixar")
        req = files.sparse_cube(path, *dims)
        t = medians([lambda: ixarkit.getIxarData(path, req)], 3, min_run=0.0)[0]
        rows.append((f"image cube of {gb:g} GB (sparse file)", t * 1e3, t * 1e3 / gb, "ms/GB", whole_file(path, gb)))
        os.remove(path)
    else:
        rows.append((f"image cube of {gb:g} GB", float("nan"), float("nan"),
                     f"not run: needs {need / 1e9:.0f} GB of free memory"))
    return rows


# ---------------------------------------------------------------- Dask and xarray

BIG_CHILD = """
import json, sys, time, ixarkit
def kb(key):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key))
path, request, scheduler = json.loads(sys.argv[1])
t = time.perf_counter()
with ixarkit.open(path) as f:
    arr = f[tuple(request)].to_dask()
if scheduler in ("threads", "one thread"):
    mean = arr.mean(axis=(0, 1)).compute(scheduler="threads", num_workers=1 if scheduler == "one thread" else None)
    peaks = [kb("VmHWM:")]
else:
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \\
            Client(cluster) as client:
        mean = arr.mean(axis=(0, 1)).compute()
        peaks = [kb("VmHWM:")] + list(client.run(kb, "VmHWM:").values())
print(json.dumps([time.perf_counter() - t, peaks, float(abs(mean).max()), arr.npartitions]))
"""
SPARSE = (2048, 2400, 1700)  # a 35 GB mosaic


def sparse_ok(tmp, size):
    """Whether tmp can hold a sparse file of `size` bytes: room for its
    metadata, and a test file extended by truncate takes no blocks."""
    import shutil
    if shutil.disk_usage(tmp).free < 1 << 30:
        return False
    probe = tmp / "sparse-probe"
    with open(probe, "wb") as fh:
        fh.write(b"x")
    try:
        os.truncate(probe, min(size, 1 << 34))
        return os.stat(probe).st_blocks * 512 < 1 << 20
    except OSError:
        return False
    finally:
        probe.unlink()


def fsspec_requests(path, request):
    """Range requests of a Dask chunk of 16 rows (its task opening the file
    again included) read from an fsspec file system that counts them (no
    network: the bytes are in memory; its files read through fsspec's
    read-ahead cache of 5 MiB blocks unless opened with another cache_type,
    as ixarkit opens them), or None without fsspec."""
    try:
        import fsspec
        AbstractFileSystem = fsspec.AbstractFileSystem
        AbstractBufferedFile = sys.modules[AbstractFileSystem.__module__].AbstractBufferedFile  # beside it
    except ImportError:
        return None
    data = Path(path).read_bytes()

    class Counted(AbstractBufferedFile):
        requests = 0

        def _fetch_range(self, start, end):
            Counted.requests += 1
            return data[start:end]

    class CountingFS(AbstractFileSystem):
        protocol = "ixarkit-bench-counting"

        def _open(self, path, mode="rb", block_size=None, autocommit=True, cache_options=None,
                  cache_type="readahead", **kw):
            return Counted(self, path, mode, block_size or 5 * 2**20, cache_type=cache_type, size=len(data))

        def info(self, path, **kw):
            return {"name": path, "size": len(data), "type": "file"}

    fsspec.register_implementation(CountingFS.protocol, CountingFS, clobber=True)
    with ixarkit.open(fsspec.open(f"{CountingFS.protocol}:///cube.ixar")) as f:
        block = f[request]
        expected = block.read().spectra[:16]
        chunk = block.to_dask(chunks=(16, -1, -1))
        Counted.requests = 0
        first = chunk.blocks[0].compute(scheduler="sync")
        requests = Counted.requests
    if first.tobytes() != expected.tobytes():
        raise SystemExit("fsspec: a chunk differs from the full read")
    return requests


def s3_requests(path, request, band):
    """GET requests of reads from an S3 server on this machine (moto's, on
    127.0.0.1) through s3fs, and the bytes they asked for, as the server
    counts them: opening the file, a Dask chunk of 16 rows (its task opening
    the file again included), one pixel of the last row and the band map of
    `band`; or None without moto and s3fs."""
    try:
        import logging

        import fsspec
        import s3fs
        from moto.server import DomainDispatcherApplication, ThreadedMotoServer
    except ImportError:
        return None
    logging.getLogger("werkzeug").setLevel(logging.WARNING)  # no line per request
    gets, serve = [], DomainDispatcherApplication.__call__

    def counted(app, environ, start_response):
        if environ["REQUEST_METHOD"] == "GET":  # bytes=first-last (reads of a file all give one)
            first, _, last = environ.get("HTTP_RANGE", "=-").partition("=")[2].partition("-")
            gets.append(int(last) - int(first) + 1 if first and last else 0)
        return serve(app, environ, start_response)

    def count():
        n = (len(gets), sum(gets))
        gets.clear()
        return n

    with ixarkit.open(path) as f:
        block = f[request]
        expected = block.read().spectra
        expected = expected[:16], expected[-1, expected.shape[1] // 3], block.band(*band)
    DomainDispatcherApplication.__call__ = counted
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        options = dict(endpoint_url=f"http://{host}:{port}", key="bench", secret="bench")
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("ixarkit-bench")
        fs.put(str(path), "ixarkit-bench/cube.ixar")
        count()
        with ixarkit.open(fsspec.open("s3://ixarkit-bench/cube.ixar", **options)) as f:
            counts = [count()]
            block = f[request]
            got = [block.to_dask(chunks=(16, -1, -1)).blocks[0].compute(scheduler="sync")]
            counts.append(count())
            got.append(block[-1, block.shape[1] // 3])  # more than 1 MiB from the header: no read on
            counts.append(count())
            got.append(block.band(*band))
            counts.append(count())
    finally:
        server.stop()
        DomainDispatcherApplication.__call__ = serve
    if any(a.tobytes() != b.tobytes() for a, b in zip(got, expected)):
        raise SystemExit("S3: a read differs from the file's")
    return counts


def dask_cases(tmp, size, repeats, sparse):
    """Rows of the Dask and xarray table (needs dask and xarray)."""
    try:
        import dask  # noqa: F401
        import xarray as xr
    except ImportError as e:
        return [dict(name="Dask and xarray", ms=0, limit_ms=0, target="skipped", note=f"not installed: {e.name}")]
    rng, dims = np.random.default_rng(11), SIZES[size]
    rows = []

    def add(name, ms, limit_ms, target, ok, note="", timed=True):
        rows.append(dict(name=name, ms=ms, limit_ms=limit_ms, target=verdict(target, ok, size, timed), note=note))

    cube = str(tmp / "dask-cube.ixar")
    request = files.image_cube(cube, rng, *dims["image"])
    npy, npx, npt = dims["image"]
    with ixarkit.open(cube) as f:
        block = f[request]
        arr = block.to_dask()
        full = block.read().spectra
        if arr.compute().tobytes() != full.tobytes():
            raise SystemExit("Dask: to_dask differs from the full read")
        t_sum, t_read = medians([lambda: arr.sum().compute(scheduler="threads"), block.read], repeats)
    add(f"to_dask().sum() of the {full.nbytes / 1e6:.0f} MB cube", t_sum * 1e3, t_read * 1e3,
        "≤ 1.5× read()", t_sum <= 1.5 * t_read,
        f"{arr.npartitions} chunk{'s' if arr.npartitions > 1 else ''} of {arr.chunksize}")

    counting = CountingFile(cube)
    with xr.open_dataset(counting, engine="ixarkit", datablock=request) as ds:
        start = counting.bytes
        pixel = ds.AB.isel(x=npx // 3, y=npy // 2).values
        read = counting.bytes - start
    if pixel.tobytes() != full[npy // 2, npx // 3].tobytes():
        raise SystemExit("xarray: isel differs from the full read")
    with xr.open_dataset(cube, engine="ixarkit", datablock=request) as ds:
        t_isel, = medians([lambda: ds.AB.isel(x=npx // 3, y=npy // 2).values], repeats)
    add("open_dataset(...).isel(x=i, y=j)", t_isel * 1e3, t_read * 1e3, "reads one record",
        read == 4 * npt, f"{read} bytes read (one record: {4 * npt})", timed=False)

    requests = fsspec_requests(cube, request)
    if requests is not None:
        add("one Dask chunk of 16 rows through an fsspec file", 0, 0, "≤ 8 range requests",
            requests <= 8, f"{requests} range requests for {16 * npx * npt * 4 / 1e6:.1f} MB of values, "
            "the task opening the file included", timed=False)
    s3 = s3_requests(cube, request, (1800, 1650))
    if s3 is not None:
        size = os.stat(cube).st_size
        most = -(-size // (16 << 20)) + 4
        for name, (got, nbytes), (limit, most_bytes, shown), note in zip(
                ["opening the file from S3 (moto's server on 127.0.0.1, s3fs)", "one Dask chunk of 16 rows from S3",
                 "one pixel of the last row from S3", "a band map from S3, block.band(1800, 1650)"], s3,
                [(2, 1 << 20, ", ≤ 1 MiB"), (8, 2 * 16 * npx * npt * 4, ", ≤ 2× its values"),
                 (1, 64 << 10, " of ≤ 64 KiB"), (most, None, "")],
                ["", ", the task opening the file included", "",
                 f" of the {size / 1e6:.0f} MB file (at most ⌈size / 16 MiB⌉ + 4)"]):
            add(name, 0, 0, f"≤ {limit} GET request{'s' if limit > 1 else ''}{shown}",
                got <= limit and (most_bytes is None or nbytes <= most_bytes),
                f"{got} GET request{'s' if got != 1 else ''} for {nbytes / 1e6:.2f} MB{note}", timed=False)

    if not sparse:
        return rows
    big = tmp / "sparse-cube.ixar"
    count = SPARSE[0] * SPARSE[1]
    if not sparse_ok(tmp, count * (4 * SPARSE[2] + 160)):
        add("sparse 35 GB cube", 0, 0, "skipped", True, "the file system cannot hold sparse files")
        return rows
    request = files.sparse_cube(str(big), *SPARSE)
    gb = os.stat(big).st_size / 1e9
    names = {"threads": "threaded scheduler (2 threads)", "distributed": "LocalCluster of two worker processes",
             "one thread": "threaded scheduler, one thread"}
    schedulers = ["threads", "one thread"]
    try:
        import distributed  # noqa: F401
        schedulers.insert(1, "distributed")
    except ImportError:
        add("sparse cube, LocalCluster", 0, 0, "skipped", True, "distributed not installed")

    def mean_of_cube(scheduler):
        return json.loads(python("-c", BIG_CHILD, json.dumps([str(big), request, scheduler])))

    # The first pass over the file fills the page cache from free memory; in
    # a virtual machine that hands free memory back to its host, each page
    # it touches first costs a fault on the host too, and faults of two CPUs
    # at once wait for each other there. That pass is not timed, so that
    # every timed pass finds memory as the one before it left it; the timed
    # passes alternate, twice each.
    mean_of_cube("one thread")
    took, last = {s: [] for s in schedulers}, {}
    for _ in range(2):
        for scheduler in schedulers:
            seconds, *last[scheduler] = mean_of_cube(scheduler)
            took[scheduler].append(seconds)
    median = {s: statistics.median(t) for s, t in took.items()}
    for scheduler in schedulers:
        peaks, biggest, chunks = last[scheduler]
        peak_mb = max(peaks) / 1e3
        add(f"to_dask().mean(axis=(0, 1)) of a {gb:.1f} GB sparse cube, {names[scheduler]}",
            median[scheduler] * 1e3, 0, "each process < 2 GB", peak_mb < 2000 and biggest == 0.0,
            f"{chunks} chunks; s of each pass: {', '.join(f'{t:.1f}' for t in took[scheduler])}; peak MB per "
            f"process: {', '.join(f'{p / 1e3:.0f}' for p in peaks)}", timed=False)
    if "distributed" in median:
        ratio = median["threads"] / median["distributed"]
        add("the threaded scheduler against two worker processes", median["threads"] * 1e3,
            median["distributed"] * 1e3, "≤ 1.15×", ratio <= 1.15, f"{ratio:.2f}× (medians)", timed=False)
    speedup = median["one thread"] / median["threads"]
    add("two threads against one", median["threads"] * 1e3, median["one thread"] * 1e3, "≥ 1.6× faster",
        speedup >= 1.6, f"{speedup:.2f}× faster (medians)", timed=False)
    big.unlink()
    return rows


# The command line at the scale of the files: listing and plotting a cube
# of about 1 GB (small: 64 MB) and listing the sparse mosaic, each in a
# fresh process, with its time and peak memory.
CLI_CUBE = {"full": (128, 128, 16200), "small": (64, 64, 4000)}
CLI_TARGETS = {"listing": ("< 2 s, < 200 MB", 2.0, 200), "plot": ("< 400 MB", None, 400)}


def command(*args):
    """Seconds and peak MB of `ixarkit ARGS` in a fresh process."""
    import resource
    code = ("import resource, subprocess, sys, time; t = time.perf_counter(); "
            "r = subprocess.run([sys.executable, '-m', 'ixarkit', *sys.argv[1:]], capture_output=True); "
            "print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, r.returncode)")
    seconds, peak_kb, rc = python("-c", code, *map(str, args)).split()
    del resource
    return float(seconds), int(peak_kb) / 1e3, int(rc)


def cli_cases(tmp, size, sparse):
    rows = []

    def add(name, seconds, mb, rc, kind):
        text, most_s, most_mb = CLI_TARGETS[kind]
        ok = rc == 0 and (most_s is None or seconds < most_s) and mb < most_mb
        rows.append(dict(name=name, s=seconds, mb=mb, target=verdict(text, ok, size) if rc == 0 else f"exit {rc}"))
    npy, npx, npt = CLI_CUBE[size]
    cube = tmp / "cli-cube.ixar"
    files.image_cube(str(cube), np.random.default_rng(3), npy, npx, npt)
    gb = os.stat(cube).st_size / 1e9
    add(f"ixarkit FILE, a {gb:.2f} GB image cube", *command(cube), "listing")
    add(f"ixarkit FILE --plot ... --band 1800 1650, a {gb:.2f} GB image cube",
        *command(cube, "--plot", "AB", "3D", "NONE", "--band", "1800", "1650", "-o", tmp / "band.png"), "plot")
    cube.unlink()
    big = tmp / "cli-mosaic.ixar"
    count = SPARSE[0] * SPARSE[1]
    if sparse and sparse_ok(tmp, count * (4 * SPARSE[2] + 160)):
        files.sparse_cube(str(big), *SPARSE)
        add(f"ixarkit FILE, the {os.stat(big).st_size / 1e9:.1f} GB sparse mosaic", *command(big), "listing")
        big.unlink()
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", choices=sorted(SIZES), default="full")
    ap.add_argument("--small", dest="size", action="store_const", const="small",
                    help="same as --size small (a few seconds, for CI)")
    ap.add_argument("--repeats", type=int, help="timed runs per case (default 15, small 3)")
    ap.add_argument("--only", default="", help="run the cases whose name contains this text")
    ap.add_argument("--fresh", type=int, default=0, metavar="N",
                    help="also time one call per fresh process, median of N processes")
    ap.add_argument("--scaling", action="store_true", help="also run the scaling cases")

    ap.add_argument("--no-sparse", action="store_true",
                    help="skip the 35 GB sparse cube of the Dask table (never run with --small)")
    args = ap.parse_args()
    repeats = args.repeats or (15 if args.size == "full" else 3)
    results, failed = [], False
    with tempfile.TemporaryDirectory(prefix="ixarkit-bench-") as tmp:
        t = time.perf_counter()
        cases = make_cases(Path(tmp), args.size, args.only)
        print(f"wrote {len(os.listdir(tmp))} files in {time.perf_counter() - t:.1f} s")
        for path in Path(tmp).iterdir():  # warm the page cache
            with open(path, "rb") as fh:
                while fh.read(1 << 24):
                    pass
        for case in cases:
            try:
                r = run_case(case, repeats)
            except Exception as e:  # a call that fails is a failed check
                print(f"{case.name}: FAILED: {type(e).__name__}: {e}")
                failed = True
                continue
            if args.fresh and case.span:
                r["fresh"] = fresh_ratio(case, args.fresh)
            print(f"{r['name']}: {r['ms']:.3f} ms, limit {r['limit_ms']:.3f} ms, peak "
                  f"+{r['peak']:.1f} MB for {r['result']:.1f} MB of arrays; "
                  + ("matches the reference" if not r["problems"] else "MISMATCH"))
            for p in r["problems"][:10]:
                print("   ", p)
            failed |= bool(r["problems"])
            results.append(r)
    if args.only in "import ixarkit":
        ms, limit_ms = import_ms(["ixarkit", "numpy"], repeats)
        results.append(dict(name="import ixarkit (limit: import numpy)", ms=ms, limit_ms=limit_ms))
    print(f"\nsize {args.size}, median of {repeats} runs, warm page cache. Limit: one np.fromfile "
          "of the record area (3D), of the spectrum (2D), of the directory (listing, selection). "
          f"Peak memory target: result + {SLACK_MB} MB.\n")
    print("| case | median ms | limit ms | ratio | target | peak extra MB | result MB |")
    print("|---|---:|---:|---:|---|---:|---:|")
    for r in results:
        print(row(r, args.size))
    if args.fresh:
        print(f"\nOne call per fresh process (median of {args.fresh}), against one np.fromfile of the same "
              "bytes in the same process:\n")
        print("| case | ms | limit ms | ratio | target |")
        print("|---|---:|---:|---:|---|")
        for r in results:
            if "fresh" in r:
                ms, limit = r["fresh"]
                target = FRESH_TARGETS.get(r["name"])
                shown = verdict(f"≤ {target:g}×", ms / limit <= target, args.size) if target else "—"
                print(f"| {r['name']} | {ms:.3f} | {limit:.3f} | {ms / limit:.2f}× | {shown} |")
    if args.scaling:
        with tempfile.TemporaryDirectory(prefix="ixarkit-bench-") as tmp:
            scaled = scaling_cases(Path(tmp), args.size, repeats)
        print("\nScaling (warm):\n")
        print("| case | ms | per unit | peak memory |")
        print("|---|---:|---:|---|")
        for name, ms, per, unit, *memory in scaled:
            note = memory[0] if memory else ""
            print(f"| {name} | {ms:.1f} | {per:.3f} {unit} | {note} |" if per == per else f"| {name} | — | {unit} | |")
    if args.only in "handle API":
        with tempfile.TemporaryDirectory(prefix="ixarkit-bench-") as tmp:
            handle = handle_cases(Path(tmp), args.size, repeats)
        print("\nHandle API (ixarkit.open), against the full read or the calls it replaces:\n")
        print("| case | ms | against ms | target | notes |")
        print("|---|---:|---:|---|---|")
        for r in handle:
            print(f"| {r['name']} | {r['ms']:.3f} | {r['limit_ms']:.3f} | {r['target']} | {r['note']} |")
    if args.only in "Dask and xarray":
        with tempfile.TemporaryDirectory(prefix="ixarkit-bench-") as tmp:
            rows = dask_cases(Path(tmp), args.size, repeats, args.size == "full" and not args.no_sparse)
        print("\nDask and xarray, against the full read (read()):\n")
        print("| case | ms | against ms | target | notes |")
        print("|---|---:|---:|---|---|")
        for r in rows:
            print(f"| {r['name']} | {r['ms']:.3f} | {r['limit_ms']:.3f} | {r['target']} | {r['note']} |")
    if args.only in "command line":
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("\nCommand line: skipped (matplotlib not installed)")
        else:
            with tempfile.TemporaryDirectory(prefix="ixarkit-bench-") as tmp:
                cli = cli_cases(Path(tmp), args.size, args.size == "full" and not args.no_sparse)
            print("\nCommand line, one fresh process each (time and peak memory of the ixarkit process):\n")
            print("| case | s | peak MB | target |")
            print("|---|---:|---:|---|")
            for r in cli:
                print(f"| {r['name']} | {r['s']:.2f} | {r['mb']:.0f} | {r['target']} |")
    if failed:
        print("\nFAILED: some results differ from the reference reader (see above)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
