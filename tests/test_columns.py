"""Bands and other column selections of every record, through each kind of
source: a path (a descriptor, where records lying close are read with the
bytes between them through a staging buffer), bytes in memory and a file
object. Each must equal the same columns of the whole read and of the
reference executor's read, bit for bit."""

import io

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB2, AB3, same


def _values(rng, *shape):
    # random bits, NaN payloads and signed zeros included: any value moved wrong shows
    return rng.integers(0, 2**32, shape, dtype=np.uint32).view(np.float32)


def files():
    """name -> (request, bytes, main array as written, with zeros for missing records)."""
    rng = np.random.default_rng(41)
    out = {}
    # records 1,400 bytes apart: bands read through staging with the bytes between them
    cube = _values(rng, 12, 10, 310)
    out["image, short records"] = AB3, w.image_map(cube, 1.0, 2.0).tobytes(), cube
    # records 5,760 bytes apart: a call each
    cube = _values(rng, 6, 7, 1400)
    out["image, long records"] = AB3, w.image_map(cube, 1.0, 2.0).tobytes(), cube
    # the last 4 cells without records (zeros), runs of records with a gap between them
    cube = _values(rng, 5, 6, 200)
    stored = cube.reshape(30, 200)[np.r_[0:11, 15:30]]
    records = [(s, w.info_record(160)) for s in stored]
    data = w._add_3d(None, w.D_AB, 0, cube, 200, 1.0, 2.0, None, records, [[0, 10], [-1, 333], [15, 29]], None,
                     grid=(0.0, 0.0, 1.0, 1.0, 6, 5))
    whole = np.zeros_like(cube)  # the cells take the records in storage order, whatever they are numbered
    whole.reshape(30, 200)[:26] = stored
    out["image, empty cells"] = AB3, data.tobytes(), whole
    spectra = _values(rng, 700, 64)
    out["series, short records"] = AB3, w.time_resolved(spectra, np.arange(700.0), 1, 2).tobytes(), spectra
    spectra = _values(rng, 40, 1100)
    out["series, long records"] = AB3, w.time_resolved(spectra, np.arange(40.0), 1, 2).tobytes(), spectra
    spectra = _values(rng, 60, 90)
    rows = w.region_rows(1, rng.uniform(0, 9, (24, 2)), 0) + w.region_rows(0, rng.uniform(0, 9, (36, 2)), 24,
                                                                           nx=6, ny=6)
    out["multi-region"] = AB3, w.multi_region(spectra, rows, 1.0, 2.0).tobytes(), None
    y = _values(rng, 5000)
    out["single"] = AB2, w.single_spectrum(y, 1.0, 2.0).tobytes(), y
    return out


FILES = files()


def columns(npt):
    """Selections of the value axis: contiguous, strided, far apart, repeated, reversed."""
    return {
        "band of 10": slice(npt // 2, npt // 2 + 10),
        "band of 100": slice(npt // 4, npt // 4 + 100),
        "one value": slice(npt - 1, npt),
        "all but the ends": slice(1, npt - 1),
        "every third": slice(2, npt, 3),
        "every 50th": slice(0, npt, 50),
        "far apart": [0, npt // 2, npt - 1],
        "repeated": [5, 5, 6, 2, 2, npt - 1, 5],
        "reversed": slice(npt - 3, 4, -7),
    }


def sources(data, tmp_path):
    path = tmp_path / "band.ixar"
    path.write_bytes(data)
    return {"path": str(path), "bytes": data, "file object": io.BytesIO(data)}


def reference_main(source, req):
    """The main array as the reference executor reads it, one record at a time."""
    result = source.layout(req).read_reference()
    if hasattr(result, "regions"):
        return np.concatenate([r.spectra for r in result.regions])
    return result.y if req == AB2 else result.spectra


@pytest.mark.parametrize("through", ["path", "bytes", "file object"])
@pytest.mark.parametrize("name", list(FILES))
def test_value_selections_equal_the_whole_read_and_the_reference(tmp_path, name, through):
    req, data, written = FILES[name]
    with ixarkit.open(sources(data, tmp_path)[through]) as f:
        block = f[req]
        whole, reference = block.read(), reference_main(f._source, block._request)
        whole = block[...] if written is None else (whole.y if req == AB2 else whole.spectra)
        same(whole, reference, *([] if written is None else [whole, written]))
        npt = block.shape[-1]
        lead = (slice(None),) * (len(block.shape) - 1)
        for sel in columns(npt).values():
            same(block[lead + (sel,)], reference[lead + (sel,)])


@pytest.mark.parametrize("name", ["image, short records", "image, long records", "image, empty cells"])
def test_bands_of_some_rows_and_cells(tmp_path, name):
    # records not read one after the other: every other row, cells in any order
    req, data, written = FILES[name]
    with ixarkit.open(sources(data, tmp_path)["path"]) as f:
        block = f[req]
        npy, npx, npt = block.shape
        for rows, cells in [(slice(None, None, 2), slice(None)), ([3, 0, 3], [npx - 1, 1]),
                            (slice(1, 2), slice(None, None, -1))]:
            for sel in columns(npt).values():
                index = np.ix_(*[np.arange(n)[s] for n, s in zip(block.shape, (rows, cells, sel))])
                same(block[index], written[index])


def test_a_band_of_a_file_cut_short_fails_as_the_whole_read(tmp_path):
    # the last records lie past the end: the band's read of them fails as the whole read does
    req, data, _ = FILES["image, short records"]
    cut = data[:len(data) - 3000]
    for through, source in sources(cut, tmp_path).items():
        with ixarkit.open(source) as f:
            block = f[req]
            with pytest.raises(ValueError) as whole:
                block.read()
            with pytest.raises(ValueError) as band:
                block[:, :, 100:110]
            assert str(band.value).split(":")[0] == str(whole.value).split(":")[0], through


def test_memory_reused_by_a_read_reads_zero_where_records_are_missing(tmp_path):
    # a result of 2 MiB or more takes a block of memory that an earlier result of its size may have
    # held: cells without a record must read 0 all the same, values of every record must be there
    rng = np.random.default_rng(5)
    full = _values(rng, 40, 40, 400)
    stored = full.reshape(1600, 400)[:1500]
    records = [(s, w.info_record(160)) for s in stored]
    gapped = w._add_3d(None, w.D_AB, 0, full, 400, 1.0, 2.0, None, records, None, None,
                       grid=(0.0, 0.0, 1.0, 1.0, 40, 40))
    expected = np.zeros_like(full)
    expected.reshape(1600, 400)[:1500] = stored
    (tmp_path / "full.ixar").write_bytes(w.image_map(full, 1.0, 2.0).tobytes())
    (tmp_path / "gapped.ixar").write_bytes(gapped.tobytes())
    with ixarkit.open(str(tmp_path / "full.ixar")) as f, ixarkit.open(str(tmp_path / "gapped.ixar")) as g:
        kept = f[AB3].read().spectra  # an array that still views its block when later reads reuse memory
        for index in [(Ellipsis,), (slice(None), slice(None), slice(0, 400)), (slice(None), slice(None), [0, 1, 399])]:
            for _ in range(3):
                written = f[AB3][index]
                same(written, full[index])
                del written
                same(g[AB3][index], expected[index])
                same(g[AB3].read().spectra, expected, kept, full)
