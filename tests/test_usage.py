"""Results that travel: the sample files pickled, the batch example, type stubs."""

import glob
import os
import pickle
import subprocess
import sys

import pytest

import ixarkit

ROOT = os.path.join(os.path.dirname(__file__), "..")
SAMPLES = sorted(glob.glob(os.path.join(ROOT, "examples", "data", "*.ixar")))


def test_samples_cover_every_family_and_pickle():
    results = [ixarkit.getIxarData(p, d) for p in SAMPLES for d in ixarkit.listContents(p)]
    assert {"SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn", "TimeResolvedDataReturn",
            "MultiRegionDataReturn"} <= {type(r).__name__ for r in results}
    for r in results:   # the copy pickles to the same bytes: class, attributes, arrays and regions
        back = pickle.loads(data := pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL))
        assert pickle.dumps(back, protocol=pickle.HIGHEST_PROTOCOL) == data and str(back) == str(r)


@pytest.mark.parametrize("use_dask", [False, True])
def test_batch_example(use_dask):
    if use_dask:
        pytest.importorskip("dask.bag")
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        import batch
    finally:
        sys.path.pop(0)
    results = batch.main([os.path.join(ROOT, "examples", "data")] + (["--dask"] if use_dask else []))
    assert [name for name, _ in results] == [os.path.basename(p) for p in SAMPLES]
    assert all(nbytes > 0 for _, sets in results for _, _, nbytes in sets)


TYPED = """from typing import Any
import numpy as np
import ixarkit
def mean(path: str) -> "np.ndarray[Any, np.dtype[np.float64]]":
    r = ixarkit.getIxarData(path, ("AB", "3D", "NONE"))
    if isinstance(r, ixarkit.ImageDataReturn):
        return np.asarray(r.spectra.mean(axis=(0, 1)), dtype=np.float64)
    if isinstance(r, ixarkit.MultiRegionDataReturn):
        return np.asarray(np.vstack([g.spectra for g in r.regions]).mean(axis=0), dtype=np.float64)
    raise TypeError(type(r).__name__)
names: list[tuple[str, str, str]] = ixarkit.listContents("f.ixar")
ok: bool = ixarkit.isIxarFile("f.ixar")
title: str = ixarkit.paramDict["NPT"]
"""


@pytest.mark.parametrize("source,rc,where", [
    (TYPED, 0, ""), ("import ixarkit\nn: int = ixarkit.isIxarFile('f')\nixarkit.listContents(path='f')\n", 1, "typed.py:3")])
def test_type_stubs_satisfy_mypy(tmp_path, source, rc, where):
    pytest.importorskip("mypy")
    (src := tmp_path / "typed.py").write_text(source)
    version = f"{sys.version_info[0]}.{max(sys.version_info[1], 9)}"
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--python-version", version, str(src)]
                          + ["--strict"] * (rc == 0), capture_output=True, text=True, timeout=300)
    assert proc.returncode == rc and where in proc.stdout, proc.stdout + proc.stderr
