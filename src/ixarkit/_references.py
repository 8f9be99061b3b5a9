"""DataBlock.to_references: a data set as a Zarr array whose chunks are
byte ranges of the original file, in the reference format (version 1) that
fsspec's ``reference://`` file system reads; zarr and xarray's zarr engine
then read the values without ixarkit and without a copy of the file.

Each record is one chunk (records lie apart, their info bytes between
them); the coordinates are inlined. Only data sets whose every value is a
record's own value in file order can be described so: image cubes and
time-resolved series.
"""

import base64
import json
import os

import numpy as np

from . import _families

DESCRIBED = ("image", "time-resolved")


def _array(refs, name, shape, chunks, dtype, dims):
    refs[f"{name}/.zarray"] = json.dumps({"chunks": list(chunks), "compressor": None, "dtype": dtype,
                                          "fill_value": None, "filters": None, "order": "C",
                                          "shape": list(shape), "zarr_format": 2})
    refs[f"{name}/.zattrs"] = json.dumps({"_ARRAY_DIMENSIONS": list(dims)})


def references(block, url=None):
    """See DataBlock.to_references."""
    family = block._family
    if family.name not in DESCRIBED:
        described = " and ".join(_families.FAMILIES[n].plural for n in DESCRIBED)
        raise ValueError(f"{' '.join(block.key)} is {block.kind} data ({family.plural}): references describe "
                         f"{described}, whose every value lies in a record of its own in the order of the array; "
                         f"here values come from records between labels or from an annotation table")
    if url is None:
        name = block._file.name
        if not isinstance(name, (str, os.PathLike)) or "://" in str(name):
            raise ValueError("the data set was opened from a file object: pass url=, where the file can be read")
        url = os.path.abspath(os.fspath(name))
    info, shape, dims = block._info, block.shape, block.dims
    size, npt = block._file._source.size, shape[-1]
    variable = block.key[0]
    refs = {".zgroup": json.dumps({"zarr_format": 2}),
            ".zattrs": json.dumps({"data_set": " ".join(block.key), "kind": block.kind})}
    _array(refs, variable, shape, (1,) * (len(shape) - 1) + (npt,), "<f4", dims)
    grid = shape[:-1]
    k = _families.first_outside(info.records, npt, size)
    if k is not None:
        raise ValueError(f"{' '.join(block.key)}: record {k} at offset {info.records[k]} runs past the end of the "
                         f"file ({size} bytes)")
    for k, offset in enumerate(info.records):
        if offset == _families.NO_RECORD:  # an empty cell: zeros, as read() gives it
            continue
        refs[f"{variable}/{'.'.join(map(str, np.unravel_index(k, grid)))}.0"] = [url, int(offset), 4 * npt]
    for name, values in block.coords.items():
        values = np.ascontiguousarray(values, dtype="<f8")
        _array(refs, name, values.shape, values.shape, "<f8", (name,))
        refs[f"{name}/0"] = "base64:" + base64.b64encode(values.tobytes()).decode("ascii")
    return {"version": 1, "refs": refs}
