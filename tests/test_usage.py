"""Results that travel: pickling, threads, the batch example, type stubs."""

import glob
import os
import pickle
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import ixarkit

ROOT = os.path.join(os.path.dirname(__file__), "..")
SAMPLES = sorted(glob.glob(os.path.join(ROOT, "examples", "data", "*.ixar")))


def all_results():
    for path in SAMPLES:
        for datablock in ixarkit.listContents(path):
            yield path, datablock, ixarkit.getIxarData(path, datablock)


def same(a, b):
    """Equal results: same class, attributes, arrays (values and dtypes), regions."""
    assert type(a) is type(b) and list(vars(a)) == list(vars(b))
    for key, x in vars(a).items():
        y = vars(b)[key]
        if isinstance(x, np.ndarray):
            assert x.dtype == y.dtype and x.shape == y.shape
            np.testing.assert_array_equal(x, y)
        elif key == "regions":
            assert len(x) == len(y)
            for ra, rb in zip(x, y):
                same(ra, rb)
        else:
            assert x == y


def test_samples_cover_every_family_and_pickle():
    results = [r for _, _, r in all_results()]
    assert {"SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn", "TimeResolvedDataReturn",
            "MultiRegionDataReturn"} <= {type(r).__name__ for r in results}
    for r in results:
        back = pickle.loads(pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL))
        same(r, back)
        assert str(back) == str(r)


def test_threads_give_what_serial_calls_give():
    jobs = [(p, d) for p in SAMPLES for d in ixarkit.listContents(p)] * 6
    serial = [ixarkit.getIxarData(p, d) for p, d in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(lambda job: ixarkit.getIxarData(*job), jobs))
    for a, b in zip(serial, parallel):
        same(a, b)


@pytest.mark.parametrize("use_dask", [False, True])
def test_batch_example(use_dask):
    if use_dask:
        pytest.importorskip("dask.bag")
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        import batch
    finally:
        sys.path.pop(0)
    folder = os.path.join(ROOT, "examples", "data")
    results = batch.main([folder] + (["--dask"] if use_dask else []))
    assert [name for name, _ in results] == [os.path.basename(p) for p in SAMPLES]
    assert all(nbytes > 0 for _, sets in results for _, _, nbytes in sets)


TYPED_EXAMPLE = '''
from typing import Any

import numpy as np
import ixarkit

def mean_spectrum(path: str) -> "np.ndarray[Any, np.dtype[np.float64]]":
    r = ixarkit.getIxarData(path, ("AB", "3D", "NONE"))
    if isinstance(r, ixarkit.ImageDataReturn):
        return np.asarray(r.spectra.mean(axis=(0, 1)), dtype=np.float64)
    if isinstance(r, ixarkit.MultiRegionDataReturn):
        return np.asarray(np.vstack([g.spectra for g in r.regions]).mean(axis=0), dtype=np.float64)
    raise TypeError(type(r).__name__)

names: list[tuple[str, str, str]] = ixarkit.listContents("f.ixar")
ok: bool = ixarkit.isIxarFile("f.ixar")
title: str = ixarkit.paramDict["NPT"]
'''


def test_type_stubs_satisfy_mypy(tmp_path):
    pytest.importorskip("mypy")
    src = tmp_path / "typed.py"
    src.write_text(TYPED_EXAMPLE)
    version = f"{sys.version_info[0]}.{max(sys.version_info[1], 9)}"
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version",
                           version, str(src)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    bad = tmp_path / "bad.py"
    bad.write_text("import ixarkit\nn: int = ixarkit.isIxarFile('f')\nixarkit.listContents(path='f')\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", str(bad)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 1 and "bad.py:3" in proc.stdout
