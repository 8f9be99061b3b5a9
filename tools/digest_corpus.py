"""Writes the files that ixar-digest is compared on across platforms.

    python tools/digest_corpus.py OUT_DIR

Every family, written by the test-file writer (the fuzzers' seeds and the
bundled samples): each clean, cut short at three places, and damaged at
four places chosen by a fixed seed; an image cube whose records lie past
4 GiB in a sparse file (a hole before them, the records' bytes at the end),
and the same cube with its records right after the directory;
and a sample under a name with letters outside ASCII.
"""

import glob
import math
import os
import shutil
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "fuzz"))

import ixarwriter as w  # noqa: E402
from make_seeds import seeds  # noqa: E402

NON_ASCII_NAME = "spëktrum µm 測定.ixar"


def variants(name, data, rng):
    """The clean file, three cuts and four damaged copies."""
    yield name, data
    for k, cut in enumerate((len(data) // 3, 2 * len(data) // 3, len(data) - 1)):
        yield f"{name}-cut{k}", data[:cut]
    for k in range(4):
        damaged = bytearray(data)
        at = int(rng.integers(0, len(data)))
        if k % 2:
            damaged[at:at + 4] = b"\xff\xff\xff\x7f"[: len(damaged) - at]
        else:
            damaged[at] ^= 1 << int(rng.integers(0, 8))
        yield f"{name}-damaged{k}", bytes(damaged)


def beyond_4gib(path, at=None):
    """An image cube of 2 x 3 spectra whose 3D block starts at `at` (past 4
    GiB: only the extended directory's 64-bit offsets reach it, and the file
    is a hole up to it), or right after the directory: both read the same."""
    npy, npx, npt = 2, 3, 8
    grid = [("AOX", 0.0), ("AOY", 0.0), ("DDX", 1.0), ("DDY", 1.0), ("NPX", npx), ("NPY", npy)]
    kind = dict(data=w.D_AB, extend=w.EXT_3D)
    spectra = np.random.default_rng(4).random((npy * npx, npt)).astype(np.float32)
    block = w.block3d([(s, w.info_record(160)) for s in spectra])
    f = w.IxarFile()
    f.add(w.block_type(param=w.P_OWN, **kind), w.param_block(w.spectrum_params(npt, 4000.0, 400.0, 0.0, 1.0, grid)))
    entry = lambda offset: w.ext_dir([(w.block_type(param=w.P_DATA, **kind), math.ceil(len(block) / 4), offset)])
    ext_at = f.place(bytes(len(entry(0))))
    f.add_entry(w.block_type(extend=w.EXT_POINTER), 0, ext_at)
    head = bytearray(f.tobytes())
    at = len(head) if at is None else at
    head[ext_at:ext_at + len(entry(at))] = entry(at)
    with open(path, "wb") as fh:
        fh.write(head)
        fh.seek(at)
        fh.write(block)


def main(out):
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(7)
    files = list(seeds())
    for sample in sorted(glob.glob(os.path.join(ROOT, "examples", "data", "*.ixar"))):
        with open(sample, "rb") as fh:
            files.append(("sample-" + os.path.splitext(os.path.basename(sample))[0], fh.read()))  # beside the seeds of the same family
    for base, data in files:
        for name, content in variants(base, data, rng):
            with open(os.path.join(out, name + ".ixar"), "wb") as fh:
                fh.write(content)
    beyond_4gib(os.path.join(out, "beyond-4gib.ixar"), (5 << 30) + 12)
    beyond_4gib(os.path.join(out, "within-4gib.ixar"))
    shutil.copyfile(os.path.join(ROOT, "examples", "data", "image.ixar"), os.path.join(out, NON_ASCII_NAME))


if __name__ == "__main__":
    main(sys.argv[1])
