"""Command line: list, inspect, export and plot the data sets of IXAR files.

    ixarkit FILE...                                  list data sets
    ixarkit FILE --params TYPE DIM DERIV [-o OUT]    parameters with titles (.txt or .json)
    ixarkit FILE --export TYPE DIM DERIV -o OUT      .csv, .npz, .nc or .zarr (the last two need xarray)
    ixarkit FILE --plot TYPE DIM DERIV -o OUT.png    needs matplotlib
    ixarkit view FILE [TYPE DIM DERIV]               in the browser (_view); needs bokeh

Every outcome has its exit code and, when something went wrong, one line on
standard error that says what. The reader reports each read that ran past
the end of a cut file as an ignored exception; the command line collects
those reports and turns them into that one line (``--verbose`` shows them).
"""

import argparse
import csv
import errno
import json
import os
import re
import struct
import sys
import warnings

import numpy as np

import ixarkit
from ixarkit._handle import DamagedDataError
from ixarkit._version import __version__

# Exit codes, as the README lists them.
EXIT_OK = 0
EXIT_DAMAGED = 1       # the file could not be read as what it claims to be
EXIT_USAGE = 2         # bad command line, or an output that cannot be written
EXIT_NO_FILE = 3       # missing or unreadable file
EXIT_NOT_IXAR = 4      # not an IXAR file
EXIT_NO_DATA_SET = 5   # the file holds no such data set

# x units by their codes: (quantity, unit). Plots and the listing use the
# unit as written here; CSV headers use ASCII_UNITS.
X_UNITS = {"WN": ("Wavenumber", "cm⁻¹"), "MI": ("Wavelength", "µm"), "NM": ("Wavelength", "nm"),
           "LGW": ("log(wavenumber)", "log cm⁻¹"), "MIN": ("Time", "min"), "SEC": ("Time", "s"),
           "PNT": ("Point", None)}
# y quantities by data type: (quantity, unit); None where the values are a
# plain ratio.
Y_UNITS = {"AB": ("Absorbance", "AU"), "TR": ("Transmittance", None), "REFL": ("Reflectance", None),
           "KM": ("Kubelka-Munk", "KMU"), "ATR": ("ATR absorbance", "AU"),
           "LREFL": ("log(1/reflectance)", None),
           "SSC": ("Sample single channel", "a.u."), "RSC": ("Reference single channel", "a.u."),
           "SIFG": ("Sample interferogram", "a.u."), "RIFG": ("Reference interferogram", "a.u."),
           "SPOW": ("Sample power spectrum", "a.u."), "RPOW": ("Reference power spectrum", "a.u."),
           "SPH": ("Sample phase", None), "RPH": ("Reference phase", None),
           "EMIS": ("Emission", "a.u."), "RAM": ("Raman intensity", "a.u."),
           "PAS": ("Photoacoustic signal", "a.u."), "TRC": ("Trace value", "a.u.")}
ASCII_UNITS = {"cm⁻¹": "cm-1", "µm": "um", "log cm⁻¹": "log cm-1"}
# Map coordinates are stage positions, which the instrument records in µm.
MAP_UNIT = "µm"
DERIVATIVES = {"1DER": ("first derivative", 1), "2DER": ("second derivative", 2),
               "NDER": ("derivative", None), "3DER": ("derivative", None)}


class CliError(Exception):
    def __init__(self, message, code):
        super().__init__(" ".join(str(message).split()))  # always one line
        self.code = code


# ---------------------------------------------------------------- reading

class _FailedReads:
    """Counts the failed-read reports the reader emits during a call.

    The reader reports each read past the end of a file twice: the exception
    printed with its traceback, then as an ignored exception through
    sys.unraisablehook. Both are taken here for the length of the call;
    with ``show`` they are passed on to the hooks that were there before."""

    def __init__(self, show):
        self.show = show
        self.count = 0

    def __enter__(self):
        self._unraisable, self._excepthook = sys.unraisablehook, sys.excepthook
        sys.unraisablehook, sys.excepthook = self._on_unraisable, self._on_printed
        return self

    def __exit__(self, *exc):
        sys.unraisablehook, sys.excepthook = self._unraisable, self._excepthook
        return False

    def _on_unraisable(self, report):
        self.count += 1
        if self.show:
            self._unraisable(report)

    def _on_printed(self, kind, value, tb):
        if self.show:
            self._excepthook(kind, value, tb)


class Source:
    """One input file: its checks, listing and reads, with failures as CliError."""

    def __init__(self, path, verbose=False):
        self.path, self.verbose = path, verbose
        try:
            with open(path, "rb") as fh:
                self.size = os.fstat(fh.fileno()).st_size
        except OSError as e:
            raise CliError(f"{path}: {e.strerror or e}", EXIT_NO_FILE) from None
        if self.size < 4:
            what = "empty" if self.size == 0 else f"{self.size} bytes, shorter than an IXAR signature"
            raise CliError(f"{path}: not an IXAR file ({what})", EXIT_NOT_IXAR)
        self._listing = None

    def _call(self, call, *args, name=""):
        where = f"{self.path}: {name + ': ' if name else ''}"
        with _FailedReads(self.verbose) as reads:
            try:
                result = call(self.path, *args)
            except Exception as e:
                raise self._error(e, where, name) from None
        return result, reads.count

    def _error(self, e, where, name):
        damaged = f"{self.path}: damaged file: {name + ': ' if name else ''}"
        if isinstance(e, DamagedDataError):  # a read of a data set the file lists, through a handle
            return CliError(f"{self.path}: damaged file: {' '.join(e.key)}: {e.reason}", EXIT_DAMAGED)
        if isinstance(e, OSError):
            if e.errno in (errno.ENOENT, errno.EACCES, errno.EPERM, errno.EISDIR):
                return CliError(f"{where}{e.strerror or e}", EXIT_NO_FILE)
            return CliError(f"{damaged}an offset points outside the file ({e.strerror or e})", EXIT_DAMAGED)
        if isinstance(e, UnicodeDecodeError):
            return CliError(f"{damaged}text that is not {e.encoding}: {e.object[e.start:e.end + 8]!r}",
                            EXIT_DAMAGED)
        if isinstance(e, ValueError):
            text = str(e)
            if text == "Can't process a non-Ixar file":
                return CliError(f"{self.path}: not an IXAR file", EXIT_NOT_IXAR)
            if text.startswith(("Incorrect dimensions", "Invalid data block type", "Invalid deriv type")):
                return CliError(f"{where}{text}", EXIT_NO_DATA_SET)
            if text.startswith("No data block exists"):
                missing = CliError(f"{self.path}: no data set {name} in the file", EXIT_NO_DATA_SET)
                missing.absent = True
                return missing
            return CliError(f"{damaged}{text}", EXIT_DAMAGED)
        if isinstance(e, KeyError):
            return CliError(f"{damaged}required entry {e.args[0]!r} is missing", EXIT_DAMAGED)
        if isinstance(e, (IndexError, ZeroDivisionError)):
            return CliError(f"{damaged}the map size does not match its points ({type(e).__name__}: {e})",
                            EXIT_DAMAGED)
        if isinstance(e, struct.error):
            return CliError(f"{damaged}cut short at byte {self.size}", EXIT_DAMAGED)
        return CliError(f"{damaged}{type(e).__name__}: {e}", EXIT_DAMAGED)

    def listing(self):
        """(data sets, None or the CliError of a damaged directory)."""
        if self._listing is None:
            contents, failed = self._call(ixarkit.listContents)
            problem = None
            if failed:
                problem = (f"header or directory cut short at byte {self.size} (end of file); "
                           f"{failed} read{'s' if failed != 1 else ''} failed")
            self._listing = contents, problem and CliError(f"{self.path}: damaged file: {problem}", EXIT_DAMAGED)
        return self._listing

    def read(self, request):
        """The data set `request` (upper case), or CliError."""
        name = " ".join(request)
        try:
            result, failed = self._call(ixarkit.getIxarData, request, name=name)
        except CliError as e:
            if not getattr(e, "absent", False):
                raise
            # Absent, or listed and not there: the second is damage.
            contents, damaged = self.listing()
            listed = {(t, d, "NDER" if v == "3DER" else v) for t, d, v in contents}
            if damaged:
                raise damaged from None
            if tuple(request) in listed:
                raise CliError(f"{self.path}: damaged file: {name} is listed in the directory but its "
                               f"data blocks are missing or cut short (the file ends at byte {self.size})",
                               EXIT_DAMAGED) from None
            raise
        if failed:
            raise CliError(f"{self.path}: damaged file: {name}: {failed} read{'s' if failed != 1 else ''} "
                           f"past the end of the file (byte {self.size}) came back as 0", EXIT_DAMAGED)
        return result


# ---------------------------------------------------------------- units and words

def _x_axis(r, ascii_only=False):
    """(quantity, unit) of the x axis; unit None when not known."""
    code = str(r.parameters.get("DXU", "") or "")
    quantity, unit = X_UNITS.get(code, ("x", code or None))
    if ascii_only and unit:
        unit = ASCII_UNITS.get(unit, unit)
    return quantity, unit


def _y_axis(r, ascii_only=False):
    quantity, unit = Y_UNITS.get(r.dataType, (r.dataType, None))
    deriv, order = DERIVATIVES.get(r.derivative, (None, None))
    if deriv:
        quantity = f"{quantity}, {deriv}"
        xunit = _x_axis(r)[1]
        if order and xunit:
            per = xunit if order == 1 else f"({xunit})²"
            unit = f"{unit or '1'}/{per}"
        else:
            unit = None
    if ascii_only and unit:
        for fancy, plain in ASCII_UNITS.items():
            unit = unit.replace(fancy, plain)
        unit = unit.replace("²", "^2")
    return quantity, unit


def _label(quantity, unit):
    return f"{quantity} ({unit})" if unit else quantity


def _z_axis(r):
    """(quantity, unit) of a series' z values, from its ZTX text "Time (s)"."""
    text = str(r.parameters.get("ZTX", "") or "").strip()
    m = re.fullmatch(r"(.*?)\s*\((.+)\)", text)
    if m:
        return m.group(1) or "z", m.group(2)
    return text or "z", None


def _sample(r):
    name = r.parameters.get("SNM")
    return str(name).strip() if name is not None and str(name).strip() else None


def _x_range(r):
    x = np.asarray(r.x)
    if x.size == 0:
        return "no points"
    quantity, unit = _x_axis(r)
    return f"{quantity.lower()} {x[0]:g} to {x[-1]:g}{' ' + unit if unit else ''}"


def _labels(r, count):
    labels = list(getattr(r, "labels", []))
    return [labels[k] if k < len(labels) and labels[k] else f"trace {k + 1}" for k in range(count)]


def _quoted(labels):
    return ", ".join(f'"{s}"' for s in labels)


def describe(r):
    """The listing's words for one data set."""
    npt = len(r.x)
    if isinstance(r, ixarkit.SingleDataReturn):
        parts = [f"spectrum of {npt} points", _x_range(r)]
    elif isinstance(r, ixarkit.ImageDataReturn):
        parts = [f"image map of {len(r.mapX)} x {len(r.mapY)} points", f"{npt} points per spectrum",
                 _x_range(r)]
    elif isinstance(r, ixarkit.ImageTRCDataReturn):
        n = r.traces.shape[2]
        parts = [f"trace maps of {len(r.mapX)} x {len(r.mapY)} points",
                 f"{n} trace{'s' if n != 1 else ''}: {_quoted(_labels(r, n))}"]
    elif isinstance(r, ixarkit.TimeResolvedDataReturn):
        z = np.asarray(r.z)
        quantity, unit = _z_axis(r)
        parts = [f"time-resolved series of {len(z)} spectra of {npt} points", _x_range(r)]
        if z.size:
            parts.append(f"{quantity.lower()} {z.min():g} to {z.max():g}{' ' + unit if unit else ''}")
    elif isinstance(r, ixarkit.TimeResolvedTRCDataReturn):
        n = r.traces.shape[0]
        parts = [f"time-resolved traces of {npt} points", _x_range(r),
                 f"{n} trace{'s' if n != 1 else ''}: {_quoted(_labels(r, n))}"]
    elif isinstance(r, ixarkit.MultiRegionTRCDataReturn):
        points = sum(len(g.mapX) for g in r.regions)
        n = r.regions[0].spectra.shape[1] if r.regions else len(r.labels)
        parts = [f"multi-region trace map of {points} points in {len(r.regions)} regions",
                 f"regions: {_quoted(g.title for g in r.regions)}",
                 f"{n} trace{'s' if n != 1 else ''}: {_quoted(_labels(r, n))}"]
    elif isinstance(r, ixarkit.MultiRegionDataReturn):
        points = sum(len(g.mapX) for g in r.regions)
        parts = [f"multi-region map of {points} points in {len(r.regions)} regions",
                 f"regions: {_quoted(g.title for g in r.regions)}", f"{npt} points per spectrum", _x_range(r)]
    else:
        parts = [type(r).__name__]
    if r.dataType != "TRC":
        parts[0] = f"{Y_UNITS.get(r.dataType, (r.dataType,))[0].lower()} {parts[0]}"
    if r.derivative in DERIVATIVES:
        parts[0] += f" ({DERIVATIVES[r.derivative][0]})"
    sample = _sample(r)
    parts.append(f'sample "{sample}"' if sample else "no sample name")
    return ", ".join(parts)


def _printable(text, stream):
    """text, with the unit signs spelt in ASCII where the stream cannot encode them."""
    encoding = getattr(stream, "encoding", None) or "ascii"
    try:
        text.encode(encoding)
        return text
    except (UnicodeEncodeError, LookupError):
        for fancy, plain in ASCII_UNITS.items():
            text = text.replace(fancy, plain)
        return text.encode(encoding, "replace").decode(encoding)


# ---------------------------------------------------------------- listing and parameters

def list_files(paths, out, verbose=False):
    """Lists the data sets of each file on out; one line on standard error
    for each file that cannot be listed or read in full."""
    status = EXIT_OK
    for path in paths:
        try:
            src = Source(path, verbose)
            contents, damaged = src.listing()
        except CliError as e:
            print(f"ixarkit: {e}", file=sys.stderr)
            status = status or e.code
            continue
        if contents or not damaged:
            print(f"{path}: {len(contents)} data set{'s' if len(contents) != 1 else ''}", file=out)
        errors = [damaged] if damaged else []
        for ds in contents:
            request = (ds[0], ds[1], "NDER" if ds[2] == "3DER" else ds[2])
            try:
                text = describe(src.read(request))
            except CliError as e:
                text = "damaged" if e.code == EXIT_DAMAGED else "unreadable"
                errors.append(e)
            print(_printable(f"  {' '.join(ds):<13} {text}", out), file=out)
        if errors:
            # A damaged directory fails every data set it lists: it is the news.
            first, more = errors[0], 0 if damaged else len(errors) - 1
            tail = f"; {more} more data set{'s' if more != 1 else ''} cannot be read either" if more else ""
            print(f"ixarkit: {first}{tail}", file=sys.stderr)
            status = status or first.code
    return status


def print_params(r, out):
    width = max((len(k) for k in r.parameters), default=3)
    for key, value in r.parameters.items():
        title = ixarkit.paramDict.get(key, "")
        print(_printable(f"{key:<{width}}  {title:<28}  {value}", out), file=out)


def params_json(r, path, request):
    return {"file": os.path.basename(path), "data set": list(request),
            "parameters": r.parameters,
            "titles": {k: ixarkit.paramDict[k] for k in r.parameters if k in ixarkit.paramDict}}


# ---------------------------------------------------------------- exports

class Progress:
    """Progress of a long export on standard error (only for large outputs)."""

    def __init__(self, label, total, threshold=20000):
        self.label, self.total = label, total
        self.active = total >= threshold
        self.last = -1

    def update(self, done):
        if not self.active:
            return
        pct = 100 * done // max(self.total, 1)
        if pct != self.last:
            self.last = pct
            print(f"\r{self.label}: {pct}%", end="", file=sys.stderr, flush=True)

    def close(self):
        if self.active:
            print(f"\r{self.label}: done", file=sys.stderr, flush=True)

    def abandon(self):
        """Ends the progress line of a failed write, so that the failure gets a line of its own."""
        if self.active and self.last >= 0:
            print(file=sys.stderr, flush=True)


def _csv_table(r):
    """(header, rows) of a data set CSV can hold, or CliError."""
    xq, xu = _x_axis(r, ascii_only=True)
    yq, yu = _y_axis(r, ascii_only=True)
    if isinstance(r, ixarkit.SingleDataReturn):
        return [_label(xq, xu), _label(yq, yu)], np.column_stack([r.x, np.asarray(r.y, dtype=np.float64)])
    if isinstance(r, ixarkit.TimeResolvedDataReturn):
        # One row per spectrum: its z value, then the spectrum, one column per x.
        zq, zu = _z_axis(r)
        header = [f"{_label(zq, zu)} \\ {_label(yq, yu)} at {_label(xq, xu)}"] + [repr(float(v)) for v in r.x]
        return header, np.column_stack([r.z, np.asarray(r.spectra, dtype=np.float64)])
    if isinstance(r, ixarkit.TimeResolvedTRCDataReturn):
        # One row per x, one column per trace.
        n = r.traces.shape[0]
        header = [_label(xq, xu)] + [f"{label} (a.u.)" for label in _labels(r, n)]
        return header, np.column_stack([r.x, np.asarray(r.traces, dtype=np.float64).T])
    kind = {ixarkit.ImageDataReturn: "image maps", ixarkit.ImageTRCDataReturn: "trace maps",
            ixarkit.MultiRegionDataReturn: "multi-region maps",
            ixarkit.MultiRegionTRCDataReturn: "multi-region trace maps"}.get(type(r), type(r).__name__)
    raise CliError(f"CSV holds spectra, time-resolved series and time-resolved traces; "
                   f"use .npz for {kind}", EXIT_USAGE)


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


def _part(path):
    """A name beside an output (beside the file a link names) to write it under until it is complete."""
    folder, name = os.path.split(os.path.realpath(path))
    return os.path.join(folder, f".{name}.{os.getpid()}.part")


def _put_in_place(part, path):
    """Moves a complete output from its temporary name to its own, replacing what was there."""
    path = os.path.realpath(path)
    if os.path.isdir(part) and os.path.isdir(path) and not os.path.islink(path):
        import shutil
        shutil.rmtree(path)  # a Zarr store, checked to be one before anything was read
    os.replace(part, path)


def _discard(part):
    import shutil
    shutil.rmtree(part, ignore_errors=True) if os.path.isdir(part) else _remove(part)


class _create:
    """open(path, mode) for an output, written under a temporary name beside
    it and put in its place once complete: a failure leaves neither a part
    of the output nor a changed file where it goes. Failures to write are
    CliError (exit 2)."""

    def __init__(self, path, mode, **kw):
        self.path, self.part = path, _part(path)
        try:
            self.fh = open(self.part, mode.replace("w", "x"), **kw)
        except OSError as e:
            raise CliError(f"{path}: cannot write: {e.strerror or e}", EXIT_USAGE) from None

    def __enter__(self):
        return self.fh

    def __exit__(self, kind, value, tb):
        try:
            self.fh.close()
            if kind is None:
                _put_in_place(self.part, self.path)
        except OSError as e:
            kind, value = type(e), e
        if kind is not None:
            _discard(self.part)
            if issubclass(kind, OSError):
                raise CliError(f"{self.path}: cannot write: {value.strerror or value}", EXIT_USAGE) from None
        return False


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
    if tuple(request) not in {(t, d, "NDER" if v == "3DER" else v) for t, d, v in contents}:
        raise CliError(f"{src.path}: no data set {name} in the file", EXIT_NO_DATA_SET)
    zarr = out.lower().endswith(".zarr")
    part = _part(out)
    with _FailedReads(src.verbose) as reads:
        try:
            f = ixarkit.open(src.path)
        except Exception as e:
            raise src._error(e, f"{src.path}: ", "") from None
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
                raise src._error(e, f"{src.path}: {name}: ", name) from None
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
                raise src._error(e, f"{src.path}: {name}: ", name) from None
        finally:
            f.close()
    if reads.count:
        _discard(part)
        raise CliError(f"{src.path}: damaged file: {name}: {reads.count} read{'s' if reads.count != 1 else ''} "
                       f"past the end of the file (byte {src.size}) came back as 0", EXIT_DAMAGED)


def _remove(path):
    try:
        os.remove(path)
    except OSError:
        pass


# ---------------------------------------------------------------- plots

def _matplotlib():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("plotting needs matplotlib: pip install 'ixarkit[plot]'", EXIT_USAGE) from None
    return plt


def _edges(centres, step=None):
    """The pixel edges (first, last) of a row of pixel centres."""
    c = np.asarray(centres, dtype=np.float64)
    if c.size > 1:
        step = (c[-1] - c[0]) / (c.size - 1)
    step = float(step) if step else 1.0
    return float(c[0] - step / 2), float(c[-1] + step / 2)


def _extent(r):
    """imshow extent of an image map: the outer edges of its outer pixels."""
    if len(r.mapX) == 0 or len(r.mapY) == 0:
        return None
    return (*_edges(r.mapX, r.parameters.get("DDX")), *_edges(r.mapY, r.parameters.get("DDY")))


def _x_direction(ax, r):
    """Wavenumbers decrease left to right; other x units increase."""
    x = np.asarray(r.x)
    if x.size > 1:
        lo, hi = float(np.nanmin(x)), float(np.nanmax(x))
        if lo < hi:
            ax.set_xlim((hi, lo) if r.parameters.get("DXU") == "WN" else (lo, hi))


def _map_axes(ax):
    ax.set_xlabel(f"X ({MAP_UNIT})")
    ax.set_ylabel(f"Y ({MAP_UNIT})")
    ax.set_aspect("equal")


def _integrated(r, spectra):
    """Integrated intensity over x of spectra[..., x], and its colour bar label."""
    x = np.asarray(r.x, dtype=np.float64)
    values = np.asarray(spectra, dtype=np.float64)
    xq, xu = _x_axis(r)
    yq, yu = _y_axis(r)
    if x.size > 1:
        trapezoid = getattr(np, "trapezoid", None) or np.trapz
        area = np.abs(trapezoid(values, x, axis=-1))
        unit = "·".join(u for u in (yu, xu) if u) or None
        label = _label(f"Integrated {yq.lower()}", unit)
    else:
        area = values.sum(axis=-1)
        label = _label(yq, yu)
    return area, label


def _span(r):
    """'3100–1000 cm⁻¹': the x range, in the order the axis shows it."""
    x = np.asarray(r.x, dtype=np.float64)
    if x.size < 2:
        return ""
    a, b = (x.max(), x.min()) if r.parameters.get("DXU") == "WN" else (x.min(), x.max())
    unit = _x_axis(r)[1]
    return f"{a:g}–{b:g}{' ' + unit if unit else ''}"


def _title(r, path, what):
    sample = _sample(r)
    head = f"{what}: {sample}" if sample else what
    return f"{head}\n{os.path.basename(path)}, {r.dataType} {r.dimension} {r.derivative}"


def _square_side(xy):
    """Side of the squares drawn at points xy: the smallest distance, along x
    or y, between two points, so that squares on a grid tile it and no two
    squares overlap. Large
    regions (grids, in practice) take the smallest step between distinct
    coordinates instead, which is never larger."""
    if len(xy) < 2:
        return None
    if len(xy) <= 3000:
        best = np.inf
        for start in range(0, len(xy), 500):
            d = np.max(np.abs(xy[start:start + 500, None, :] - xy[None, :, :]), axis=2)
            d[d == 0] = np.inf  # the point itself, and repeats of it
            best = min(best, float(d.min()))
    else:
        steps = [np.diff(np.unique(xy[:, k])) for k in (0, 1)]
        best = min([float(g.min()) for g in steps if g.size] or [np.inf])
    return best if np.isfinite(best) and best > 0 else None


def _region_layout(regions):
    """Points, square sides and outlines (lower left, upper right) of each region."""
    xys = [np.column_stack([np.asarray(g.mapX, float), np.asarray(g.mapY, float)]) for g in regions]
    sides = [_square_side(xy) for xy in xys]
    everything = np.vstack(xys) if xys else np.zeros((0, 2))
    span = float(np.ptp(everything, axis=0).max()) if len(everything) > 1 else 0.0
    fallback = min([s for s in sides if s] or [span / 20 or 1.0])
    sides = [s or fallback for s in sides]
    boxes = [(xy.min(axis=0) - 0.75 * s, xy.max(axis=0) + 0.75 * s) if len(xy) else None
             for xy, s in zip(xys, sides)]
    return xys, sides, boxes


def _map_figsize(boxes, panels, longest=6.0):
    """A figure size that gives maps of these outlines about `longest`
    inches on their longer side, at equal aspect, beside their colour bars."""
    boxes = [b for b in boxes if b is not None]
    if not boxes:
        return (6.0 * panels, 5.0)
    lo = np.min([b[0] for b in boxes], axis=0)
    hi = np.max([b[1] for b in boxes], axis=0)
    w, h = np.maximum(hi - lo, 1e-12)
    ratio = float(np.clip(h / w, 0.25, 4.0))
    ax_w, ax_h = (longest, longest * ratio) if ratio <= 1 else (longest / ratio, longest)
    ax_w, ax_h = max(ax_w, 2.5), max(ax_h, 2.0)
    return (panels * (ax_w + 1.8), ax_h + 1.6)


def _region_map(fig, ax, regions, layout, values, label, cmap="viridis"):
    """Multi-region points as squares coloured by values (one array per
    region), a common colour scale, each region outlined and titled."""
    from matplotlib.cm import ScalarMappable
    from matplotlib.collections import PatchCollection
    from matplotlib.colors import Normalize
    from matplotlib.patches import Rectangle

    finite = np.concatenate([np.ravel(v) for v in values]) if values else np.zeros(0)
    finite = finite[np.isfinite(finite)]
    norm = Normalize(*(finite.min(), finite.max()) if finite.size else (0, 1))
    for g, xy, side, box, v in zip(regions, *layout, values):
        if box is None:
            continue
        squares = [Rectangle((px - side / 2, py - side / 2), side, side) for px, py in xy]
        # Not antialiased: neighbouring squares meet without seams.
        patches = PatchCollection(squares, cmap=cmap, norm=norm, linewidths=0, antialiaseds=False)
        patches.set_array(np.asarray(v, dtype=np.float64))
        ax.add_collection(patches)
        lo, hi = box
        ax.add_patch(Rectangle(lo, *(hi - lo), fill=False, ls="--", lw=1, ec="0.35"))
        ax.annotate(g.title, (lo[0], hi[1]), xytext=(0, 3), textcoords="offset points",
                    fontsize=8, color="0.2", va="bottom")
    ax.autoscale_view()
    ax.margins(x=0.05, y=0.14)  # room for the region titles above their outlines
    _map_axes(ax)
    fig.colorbar(ScalarMappable(norm=norm, cmap=cmap), ax=ax, label=label, shrink=0.9)


def plot(r, out, path):
    """Draws data set r, read from path, to the file out."""
    plt = _matplotlib()
    xq, xu = _x_axis(r)
    yq, yu = _y_axis(r)
    xlabel, ylabel = _label(xq, xu), _label(yq, yu)
    x = np.asarray(r.x)

    def figure(ncols=1, figsize=(8, 4.5)):
        return plt.subplots(1, ncols, figsize=figsize, squeeze=False, layout="constrained")

    if isinstance(r, ixarkit.SingleDataReturn):
        fig, ((ax,),) = figure()
        ax.plot(x, r.y, lw=1)
        ax.set(xlabel=xlabel, ylabel=ylabel, title=_title(r, path, f"{yq} spectrum"))
        _x_direction(ax, r)
    elif isinstance(r, ixarkit.ImageDataReturn):
        fig, ((a1, a2),) = figure(2, (11, 4.6))
        cube = np.asarray(r.spectra, dtype=np.float64)
        area, label = _integrated(r, cube)
        im = a1.imshow(area, origin="lower", interpolation="nearest", extent=_extent(r))
        fig.colorbar(im, ax=a1, label=label, shrink=0.9)
        _map_axes(a1)
        a1.set_title(f"Integrated intensity, {_span(r)}" if _span(r) else "Intensity")
        a2.plot(x, cube.reshape(-1, cube.shape[2]).mean(axis=0), lw=1)
        a2.set(xlabel=xlabel, ylabel=ylabel, title="Mean spectrum")
        _x_direction(a2, r)
        fig.suptitle(_title(r, path, f"{yq} image map"))
    elif isinstance(r, ixarkit.ImageTRCDataReturn):
        n = r.traces.shape[2]
        fig, axes = figure(n, (4.4 * n, 4.0))
        for k, (ax, label) in enumerate(zip(axes[0], _labels(r, n))):
            im = ax.imshow(r.traces[:, :, k], origin="lower", interpolation="nearest", extent=_extent(r))
            fig.colorbar(im, ax=ax, label=f"{label} (a.u.)", shrink=0.9)
            _map_axes(ax)
            ax.set_title(label)
        fig.suptitle(_title(r, path, "Trace maps"))
    elif isinstance(r, ixarkit.TimeResolvedDataReturn):
        fig, ((ax,),) = figure(1, (8, 5))
        z = np.asarray(r.z)
        mesh = ax.pcolormesh(x, z, r.spectra, shading="nearest")
        fig.colorbar(mesh, ax=ax, label=ylabel)
        ax.set(xlabel=xlabel, ylabel=_label(*_z_axis(r)), title=_title(r, path, f"{yq}, time-resolved"))
        _x_direction(ax, r)
    elif isinstance(r, ixarkit.TimeResolvedTRCDataReturn):
        fig, ((ax,),) = figure()
        for trace, label in zip(r.traces, _labels(r, r.traces.shape[0])):
            ax.plot(x, trace, lw=1, label=label)
        ax.set(xlabel=xlabel, ylabel="Trace value (a.u.)", title=_title(r, path, "Time-resolved traces"))
        _x_direction(ax, r)
        ax.legend()
    elif isinstance(r, ixarkit.MultiRegionTRCDataReturn):
        n = r.regions[0].spectra.shape[1] if r.regions else 0
        layout = _region_layout(r.regions)
        fig, axes = figure(max(n, 1), _map_figsize(layout[2], max(n, 1), 5.0))
        for k, (ax, label) in enumerate(zip(axes[0], _labels(r, n))):
            values = [np.asarray(g.spectra)[:, k] for g in r.regions]
            _region_map(fig, ax, r.regions, layout, values, f"{label} (a.u.)")
            ax.set_title(label)
        fig.suptitle(_title(r, path, "Multi-region trace map"))
    else:  # multi-region spectra
        layout = _region_layout(r.regions)
        fig, ((ax,),) = figure(1, _map_figsize(layout[2], 1))
        values = [_integrated(r, g.spectra)[0] for g in r.regions]
        label = _integrated(r, np.zeros((1, x.size)))[1]
        _region_map(fig, ax, r.regions, layout, values, label)
        span = _span(r)
        ax.set_title(_title(r, path, f"{yq} map, integrated intensity{', ' + span if span else ''}"))
    try:
        fig.savefig(out, dpi=110)
    except OSError as e:
        raise CliError(f"{out}: cannot write: {e.strerror or e}", EXIT_USAGE) from None
    finally:
        plt.close(fig)


# ---------------------------------------------------------------- command line

OUTPUTS = {"list": (".txt",), "params": (".txt", ".json"), "export": (".csv", ".npz", ".nc", ".zarr")}


def _check_output(action, out):
    """Refuses, before any reading, an output the action cannot write."""
    ext = os.path.splitext(out)[1].lower()
    if action == "plot":
        _matplotlib()
        from matplotlib.backend_bases import FigureCanvasBase
        kinds = sorted("." + k for k in FigureCanvasBase.get_supported_filetypes())
    else:
        kinds = OUTPUTS[action]
    if ext not in kinds:
        raise CliError(f"{out}: {'--' + action if action != 'list' else 'the listing'} writes "
                       f"{', '.join(kinds[:-1]) + ' or ' if len(kinds) > 1 else ''}{kinds[-1]} files",
                       EXIT_USAGE)
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise CliError(f"{out}: cannot write: no such directory {folder}", EXIT_USAGE)
    if action == "export" and ext in XARRAY_OUTPUTS:
        _xarray_writer(out)


def _parser():
    p = argparse.ArgumentParser(
        prog="ixarkit", description="List, inspect, export and plot the data sets of IXAR files.",
        epilog="A data set is named as listed, e.g. AB 2D NONE or AB 3D 1DER. Exit codes: 0 success, "
               "1 damaged file, 2 bad command line or output, 3 missing or unreadable file, "
               "4 not an IXAR file, 5 no such data set. ixarkit view FILE explores a file in the browser "
               "(ixarkit view --help).")
    p.add_argument("files", nargs="+", metavar="FILE", help="IXAR file(s)")
    what = p.add_mutually_exclusive_group()
    what.add_argument("--params", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="print the parameters of a data set with their titles (-o: .txt or .json)")
    what.add_argument("--export", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="write a data set to OUT: .csv (spectra, time-resolved series and traces), "
                           ".npz (any), .nc or .zarr (any, through xarray, chunk by chunk)")
    what.add_argument("--plot", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="draw a data set to OUT (.png, .pdf, .svg, ...); needs matplotlib")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file: the listing (.txt), --params (.txt, .json), --export, --plot")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show the reader's report of every failed read of a damaged file")
    p.add_argument("--version", action="version", version=f"ixarkit {__version__}")
    return p


def _request(words):
    kind, dim, deriv = (w.upper() for w in words)
    return (kind, dim, "NDER" if deriv == "3DER" else deriv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["view"]:  # ixarkit view FILE ...: the browser viewer, with its own options
        from ixarkit._view import main as view
        return view(argv[1:])
    parser = _parser()
    args = parser.parse_args(argv)
    action = "params" if args.params else "export" if args.export else "plot" if args.plot else "list"
    words = args.params or args.export or args.plot
    out = args.output
    try:
        if action != "list" and len(args.files) != 1:
            parser.error("--params, --export and --plot take exactly one FILE")
        if action in ("export", "plot") and not out:
            parser.error("--export and --plot need -o OUT")
        if out:
            _check_output(action, out)
        if action == "list":
            if not out:
                return list_files(args.files, sys.stdout, args.verbose)
            with _create(out, "w", encoding="utf-8") as fh:
                status = list_files(args.files, fh, args.verbose)
            print(f"wrote {out}", file=sys.stderr)
            return status
        path = args.files[0]
        request = _request(words)
        if action == "export" and os.path.splitext(out)[1].lower() in XARRAY_OUTPUTS:
            export_xarray(Source(path, args.verbose), request, out)
            print(f"wrote {out}", file=sys.stderr)
            return EXIT_OK
        r = Source(path, args.verbose).read(request)
        if action == "params":
            if not out:
                print_params(r, sys.stdout)
                return EXIT_OK
            if out.lower().endswith(".json"):
                with _create(out, "w", encoding="utf-8") as fh:
                    json.dump(params_json(r, path, request), fh, indent=1, ensure_ascii=False)
                    fh.write("\n")
            else:
                with _create(out, "w", encoding="utf-8") as fh:
                    print_params(r, fh)
        elif action == "export":
            if out.lower().endswith(".csv"):
                export_csv(r, out)
            else:
                export_npz(r, out)
        else:
            plot(r, out, path)
        print(f"wrote {out}", file=sys.stderr)
        return EXIT_OK
    except CliError as e:
        print(f"ixarkit: {e}", file=sys.stderr)
        return e.code
    except BrokenPipeError:
        return EXIT_OK
