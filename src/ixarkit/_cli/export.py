"""--export: CSV (the families whose ``csv`` layout says how), .npz (any)
and, through xarray, netCDF and Zarr (any, a large one chunk by chunk)."""

import csv
import errno
import json
import os
import warnings

import numpy as np

import ixarkit
from ixarkit import _families
from ixarkit._request import named
from ixarkit._units import SPECTRAL

from .listing import trace_count
from .._shared.outputs import Progress, _create, _discard, _part, _put_in_place
from .._shared.reading import EXIT_DAMAGED, EXIT_USAGE, CliError, _FailedReads
from .._shared.words import _label, _labels, _trace_label, _x_axis, _y_axis, _z_axis


def _by_x(r, family):
    """One row per x: x, then the values (one column per trace, if traces)."""
    xq, xu = _x_axis(r, ascii_only=True)
    values = np.moveaxis(np.asarray(getattr(r, family.main), dtype=np.float64), family.dims.index(SPECTRAL), 0)
    if family.traces:
        labels = _labels(r, trace_count(r, family))
        header = [_label(xq, xu)] + [_trace_label(label) for label in labels]
    else:
        header = [_label(xq, xu), _label(*_y_axis(r, ascii_only=True))]
    return header, np.column_stack([r.x, values])


def _by_record(r, family):
    """One row per record: its z value, then its values, one column per x."""
    xq, xu = _x_axis(r, ascii_only=True)
    yq, yu = _y_axis(r, ascii_only=True)
    zq, zu = _z_axis(r)
    header = [f"{_label(zq, zu)} \\ {_label(yq, yu)} at {_label(xq, xu)}"] + [repr(float(v)) for v in r.x]
    return header, np.column_stack([r.z, np.asarray(getattr(r, family.main), dtype=np.float64)])


# The CSV layouts of _families.Family.csv.
CSV_LAYOUTS = {"by x": _by_x, "by record": _by_record}


def _csv_table(r):
    """(header, rows) of a data set CSV can hold, or CliError."""
    family = _families.of_result(r)
    if family is not None and family.csv:
        return CSV_LAYOUTS[family.csv](r, family)
    held = [f.plural for f in _families.FAMILIES.values() if f.csv]
    raise CliError(f"CSV holds {', '.join(held[:-1])} and {held[-1]}; "
                   f"use .npz for {family.plural if family else type(r).__name__}", EXIT_USAGE)


def export_csv(r, out):
    header, rows = _csv_table(r)
    progress = Progress(f"writing {out}", len(rows))
    with _create(out, "w", newline="") as fh:
        csv.writer(fh, lineterminator="\n").writerow(header)
        step = 1000
        for start in range(0, len(rows), step):
            np.savetxt(fh, rows[start:start + step], delimiter=",", fmt="%.9g")
            progress.update(min(start + step, len(rows)))
    progress.close()


# JCAMP-DX 4.24 as infrared tools read it: units in its own words, the
# data type's quantity where it has one, everything else under ##$ labels.
JCAMP_X_UNITS = {"WN": "1/CM", "MI": "MICROMETERS", "NM": "NANOMETERS", "SEC": "SECONDS", "MIN": "MINUTES"}
JCAMP_Y_UNITS = {"AB": "ABSORBANCE", "ATR": "ABSORBANCE", "TR": "TRANSMITTANCE", "REFL": "REFLECTANCE",
                 "KM": "KUBELKA-MUNK"}
JCAMP_LINE = 80  # characters a data line holds at most


def _jcamp_text(value):
    """A parameter's value on one line of a JCAMP-DX label."""
    return " ".join(str(value).split())


def export_jdx(r, out, path):
    """A single spectrum as JCAMP-DX 4.24: ##XYDATA=(X++(Y..Y)) in AFFN,
    each line an x and the values from it, float32 values written whole."""
    family = _families.of_result(r)
    if family is None or "jdx" not in family.exports:
        what = family.plural if family else type(r).__name__
        raise CliError(f"JCAMP-DX holds single spectra; use .npz for {what}", EXIT_USAGE)
    x, y = np.asarray(r.x, dtype=np.float64), np.asarray(r.y, dtype=np.float32)
    if len(x) < 1 or not np.isfinite(x[[0, -1]]).all():
        raise CliError(f"{' '.join((r.dataType, r.dimension, r.derivative))} has no x values to write", EXIT_USAGE)
    params = r.parameters
    quantity = _y_axis(r, ascii_only=True)[0]
    title = _jcamp_text(params.get("SNM") or "") or f"{os.path.basename(path)} {r.dataType} {r.dimension} {r.derivative}"
    finite = y[np.isfinite(y)]
    head = [("TITLE", title), ("JCAMP-DX", "4.24"), ("DATA TYPE", "INFRARED SPECTRUM"),
            ("ORIGIN", f"{os.path.basename(path)}, {r.dataType} {r.dimension} {r.derivative}, read by ixarkit"),
            ("OWNER", _jcamp_text(params.get("CNM") or "")),
            ("XUNITS", JCAMP_X_UNITS.get(params.get("DXU"), "ARBITRARY UNITS")),
            ("YUNITS", JCAMP_Y_UNITS.get(r.dataType, "ARBITRARY UNITS")),
            ("XFACTOR", "1"), ("YFACTOR", "1"), ("FIRSTX", f"{x[0]:.10g}"), ("LASTX", f"{x[-1]:.10g}"),
            ("DELTAX", f"{(x[-1] - x[0]) / (len(x) - 1) if len(x) > 1 else 0:.10g}"),
            ("MAXY", f"{finite.max() if finite.size else 0:.9g}"), ("MINY", f"{finite.min() if finite.size else 0:.9g}"),
            ("NPOINTS", str(len(x))), ("FIRSTY", f"{y[0]:.9g}"),
            ("$IXARKIT QUANTITY", quantity), ("$IXARKIT DATA SET", f"{r.dataType} {r.dimension} {r.derivative}")]
    head += [(f"${code}", _jcamp_text(value)) for code, value in params.items()]
    progress = Progress(f"writing {out}", len(y))
    with _create(out, "w", encoding="ascii", errors="backslashreplace", newline="\n") as fh:
        fh.writelines(f"##{label}={value}\n" for label, value in head)
        fh.write("##XYDATA=(X++(Y..Y))\n")
        k = 0
        while k < len(y):
            line = f"{x[k]:.10g}"
            while k < len(y) and len(line) + 1 + len(value := f"{y[k]:.9g}") <= JCAMP_LINE:
                line += " " + value
                k += 1
            fh.write(line + "\n")
            progress.update(k)
        fh.write("##END=\n")
    progress.close()


# ENVI: a header beside raw float32 values, band interleaved by pixel (the
# order of an image cube's spectra in memory), little-endian.
ENVI_UNITS = {"WN": "Wavenumber", "MI": "Micrometers", "NM": "Nanometers"}


def export_envi(r, out, path):
    """An image cube as ENVI: OUT (.hdr) and its values in OUT's name with
    .img; both or neither are left."""
    family = _families.of_result(r)
    if family is None or "envi" not in family.exports:
        what = family.plural if family else type(r).__name__
        raise CliError(f"ENVI holds image cubes; use .npz for {what}", EXIT_USAGE)
    cube = np.asarray(r.spectra)
    npy, npx, npt = cube.shape
    params, x = r.parameters, np.asarray(r.x, dtype=np.float64)
    data = os.path.splitext(out)[0] + ".img"
    sample = _jcamp_text(params.get("SNM") or "")
    step = [abs(float(params.get(k) or 1.0)) for k in ("DDX", "DDY")]
    origin = [float(r.mapX[0]) if npx else 0.0, float(r.mapY[0]) if npy else 0.0]
    lines = ["ENVI",
             f"description = {{{os.path.basename(path)}, {r.dataType} {r.dimension} {r.derivative}, read by ixarkit"
             f"{', sample ' + sample if sample else ''}}}",
             f"samples = {npx}", f"lines = {npy}", f"bands = {npt}", "header offset = 0",
             "file type = ENVI Standard", "data type = 4", "interleave = bip", "byte order = 0",
             f"map info = {{Arbitrary, 1, 1, {origin[0]:.10g}, {origin[1]:.10g}, {step[0]:.10g}, {step[1]:.10g}, "
             "units=Micrometers}",
             f"wavelength units = {ENVI_UNITS.get(params.get('DXU'), 'Unknown')}",
             "wavelength = {" + ", ".join(f"{v:.10g}" for v in x) + "}"]
    progress = Progress(f"writing {data}", npy, threshold=64)
    # The header is put in place after the values, and neither where either fails.
    with _create(out, "w", encoding="utf-8", newline="\n") as header:
        header.write("\n".join(lines) + "\n")
        with _create(data, "wb") as fh:
            for row in range(npy):
                fh.write(np.ascontiguousarray(cube[row], dtype="<f4").tobytes())
                progress.update(row + 1)
    progress.close()


def write_references(src, request, out):
    """--references: the data set's Zarr references (DataBlock.to_references) as JSON."""
    name = " ".join(request)
    try:
        with ixarkit.open(src.path) as f:
            refs = f[request].to_references(os.path.abspath(src.path))
    except ValueError as e:
        if getattr(e, "failure", None) is None:  # a data set references cannot describe
            raise CliError(f"{src.path}: {e}", EXIT_USAGE) from None
        src.read(request)  # the words of the damage, or of the data set the file lacks
        raise CliError(f"{src.path}: {name}: {e}", EXIT_DAMAGED) from None
    except Exception:
        src.read(request)
        raise
    with _create(out, "w", encoding="utf-8") as fh:
        json.dump(refs, fh)


def _arrays(r):
    """Every array of a result, by a name that says what it is."""
    arrays = {}
    for name in ("x", "y", "mapX", "mapY", "z", "spectra", "traces"):
        if hasattr(r, name):
            arrays[name] = np.asarray(getattr(r, name))
    if hasattr(r, "labels"):
        arrays["labels"] = np.asarray(r.labels, dtype=str)
    for i, g in enumerate(getattr(r, "regions", [])):
        arrays[f"region{i}_title"] = np.asarray(g.title)
        for name in ("mapX", "mapY", "spectra", "start_time"):
            value = getattr(g, name)
            if value is not None:
                arrays[f"region{i}_{name}"] = np.asarray(value)
    return arrays


def export_npz(r, out):
    meta = {"dimension": r.dimension, "dataType": r.dataType, "derivative": r.derivative,
            "minY": r.minY, "maxY": r.maxY, "class": type(r).__name__}
    arrays = _arrays(r)
    arrays["parameters"] = np.asarray(json.dumps(r.parameters))
    arrays["meta"] = np.asarray(json.dumps(meta))
    progress = Progress(f"writing {out}", sum(a.nbytes for a in arrays.values()), threshold=64 << 20)
    progress.update(0)
    with _create(out, "wb") as fh:
        np.savez(fh, **arrays)
    progress.close()


# netCDF and Zarr: through xarray, chunk by chunk

XARRAY_OUTPUTS = {".nc": (("h5netcdf", "h5py"), "netCDF"), ".zarr": (("zarr",), "Zarr")}
# Blocks larger than this are written chunk by chunk, with a progress bar.
CHUNKED_BYTES = 64 << 20
_WRITE_ERRNOS = {errno.ENOSPC, errno.EACCES, errno.EPERM, errno.EROFS, errno.EDQUOT, errno.EFBIG, errno.EISDIR}


def _xarray_writer(out):
    """Refuses, before any reading, a .nc or .zarr output whose libraries are missing."""
    libraries, what = XARRAY_OUTPUTS[os.path.splitext(out)[1].lower()]
    for module in ("xarray",) + libraries:
        try:
            __import__(module)
        except ImportError:
            raise CliError(f"{out}: writing {what} needs xarray and {' and '.join(libraries)} "
                           f"(not found: {module}): pip install \"ixarkit[xarray]\"", EXIT_USAGE) from None
    if out.lower().endswith(".zarr") and os.path.exists(out) and not any(
            os.path.exists(os.path.join(out, n)) for n in ("zarr.json", ".zgroup", ".zarray")):
        raise CliError(f"{out}: cannot write: it exists and is not a Zarr store", EXIT_USAGE)


class _TaskProgress:
    """A dask callback that shows a Progress by finished tasks."""

    def __init__(self, label):
        from dask.callbacks import Callback

        progress = self

        class _Callback(Callback):
            def _start_state(self, dsk, state):
                progress.bar = Progress(label, max(len(dsk), 1), threshold=0)
                progress.done = 0
                progress.bar.update(0)

            def _posttask(self, key, result, dsk, state, worker_id):
                progress.done += 1
                progress.bar.update(progress.done)

        self.callback, self.bar = _Callback(), None

    def __enter__(self):
        self.callback.__enter__()
        return self

    def __exit__(self, *exc):
        self.callback.__exit__(*exc)
        if self.bar is not None:
            self.bar.close() if exc[0] is None else self.bar.abandon()


def export_xarray(src, request, out):
    """Writes a data set to .nc or .zarr through xarray; a large one chunk by
    chunk (with dask), so that it never has to fit in memory. Written under a
    temporary name and put in place once complete, as _create does."""
    name = " ".join(request)
    contents, damaged = src.listing()
    if damaged:
        raise damaged
    if tuple(request) not in {named(c) for c in contents}:
        raise src.absent(name)
    zarr = out.lower().endswith(".zarr")
    part = _part(out)
    with _FailedReads(src.verbose) as reads:
        try:
            f = ixarkit.open(src.path)
        except Exception as e:
            raise src.error(e) from None
        try:
            try:
                block = f[request]
                large = block.nbytes > CHUNKED_BYTES
                try:
                    import dask  # noqa: F401
                except ImportError:
                    large = False
                data = block.to_xarray(chunks="auto" if large else None)
            except Exception as e:
                raise src.error(e, name) from None
            ds = data.to_dataset()
            try:
                if zarr:
                    with warnings.catch_warnings():  # zarr's note that consolidated metadata is its own extension
                        warnings.filterwarnings("ignore", "Consolidated metadata")
                        pending = ds.to_zarr(part, mode="w-", compute=not large)
                else:
                    pending = ds.to_netcdf(part, engine="h5netcdf", compute=not large)
                if large:
                    with _TaskProgress(f"writing {out}"):
                        pending.compute(scheduler="threads")
                if not reads.count:
                    _put_in_place(part, out)
            except BaseException as e:
                _discard(part)
                if not isinstance(e, Exception):
                    raise
                if isinstance(e, OSError) and (e.errno in _WRITE_ERRNOS or not os.path.isdir(os.path.dirname(
                        os.path.abspath(out)))):
                    raise CliError(f"{out}: cannot write: {e.strerror or e}", EXIT_USAGE) from None
                if isinstance(e, CliError):
                    raise
                raise src.error(e, name) from None
        finally:
            f.close()
    if reads.count:
        _discard(part)
        raise src.cut_reads(name, reads.count)
