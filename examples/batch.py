"""Reads every data set of every IXAR file in a folder, in parallel.

    python examples/batch.py examples/data            # a thread pool
    python examples/batch.py examples/data --dask     # Dask, if installed

The bulk reads release the interpreter lock, so threads read files side by
side. Result objects pickle, so the same function also runs on worker
processes or a cluster: with Dask, point the client at your scheduler and
map `summarize` over the paths.
"""

import argparse
import glob
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import ixarkit


def summarize(path):
    """One file: its data sets, each with its class and the bytes it holds."""
    out = []
    for datablock in ixarkit.listContents(path):
        request = (datablock[0], datablock[1], "NDER" if datablock[2] == "3DER" else datablock[2])
        result = ixarkit.getIxarData(path, request)
        arrays = [v for v in vars(result).values() if isinstance(v, np.ndarray)]
        for region in getattr(result, "regions", []):
            arrays += [v for v in vars(region).values() if isinstance(v, np.ndarray)]
        out.append((" ".join(datablock), type(result).__name__, sum(a.nbytes for a in arrays)))
    return os.path.basename(path), out


def with_threads(paths, workers=4):
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(summarize, paths))


def with_dask(paths):
    import dask.bag as db

    # The local scheduler here; a distributed Client runs the same graph.
    return db.from_sequence(paths, npartitions=max(1, len(paths))).map(summarize).compute(scheduler="threads")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--dask", action="store_true", help="map with Dask instead of a thread pool")
    args = parser.parse_args(argv)
    paths = sorted(glob.glob(os.path.join(args.folder, "*.ixar")))
    results = with_dask(paths) if args.dask else with_threads(paths)
    for name, datasets in results:
        for datablock, kind, nbytes in datasets:
            print(f"{name:<20} {datablock:<14} {kind:<26} {nbytes:>10} bytes")
    return results


if __name__ == "__main__":
    main()
