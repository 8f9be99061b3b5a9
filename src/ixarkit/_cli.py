"""Command line: list, inspect, export and plot the data sets of IXAR files.

    ixarkit FILE...                                  list data sets
    ixarkit FILE --params TYPE DIM DERIV             parameters with titles
    ixarkit FILE --export TYPE DIM DERIV -o OUT      .csv or .npz
    ixarkit FILE --plot TYPE DIM DERIV -o OUT.png    needs matplotlib
"""

import argparse
import json
import os
import sys

import numpy as np

import ixarkit

# Exit codes, as the README lists them.
EXIT_OK = 0
EXIT_DAMAGED = 1       # the file could not be read as what it claims to be
EXIT_USAGE = 2         # bad command line (argparse uses 2 as well)
EXIT_NO_FILE = 3       # missing or unreadable file
EXIT_NOT_IXAR = 4      # not an IXAR file
EXIT_NO_DATA_SET = 5   # the file holds no such data set

X_UNITS = {"WN": "Wavenumber (cm$^{-1}$)", "MI": "Wavelength ($\\mu$m)", "LGW": "log(Wavenumber)",
           "MIN": "Time (min)", "PNT": "Points", "SEC": "Time (s)", "NM": "Wavelength (nm)"}
Y_UNITS = {"AB": "Absorbance", "TR": "Transmittance", "REFL": "Reflectance", "KM": "Kubelka-Munk",
           "ATR": "ATR units", "SSC": "Sample single channel", "RSC": "Reference single channel",
           "SIFG": "Sample interferogram", "RIFG": "Reference interferogram", "EMIS": "Emission",
           "RAM": "Raman intensity", "PAS": "Photoacoustic signal", "TRC": "Trace value"}


class CliError(Exception):
    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


def _read(call, path, *args):
    """Runs one reading call, turning its failures into messages and exit codes."""
    try:
        return call(path, *args)
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}", EXIT_NO_FILE) from None
    except ValueError as e:
        text = str(e)
        if text == "Can't process a non-Ixar file":
            raise CliError(f"{path}: not an IXAR file", EXIT_NOT_IXAR) from None
        if text.startswith("No data block exists") or text.startswith(("Incorrect dimensions",
                                                                      "Invalid data block type",
                                                                      "Invalid deriv type")):
            raise CliError(f"{path}: {text}", EXIT_NO_DATA_SET) from None
        raise CliError(f"{path}: damaged file: {text}", EXIT_DAMAGED) from None
    except (KeyError, IndexError, TypeError, ZeroDivisionError, UnicodeDecodeError) as e:
        raise CliError(f"{path}: damaged file: {type(e).__name__}: {e}", EXIT_DAMAGED) from None
    except Exception as e:  # struct.error for files shorter than a signature, and the like
        raise CliError(f"{path}: cannot be read: {type(e).__name__}: {e}", EXIT_DAMAGED) from None


def _x_range(r):
    p = r.parameters
    unit = p.get("DXU", "")
    x = np.asarray(r.x)
    if x.size == 0:
        return "no points"
    return f"{x[0]:g} to {x[-1]:g} {unit}".rstrip()


def _shape_summary(r):
    if isinstance(r, ixarkit.SingleDataReturn):
        return "single spectrum"
    if isinstance(r, ixarkit.ImageDataReturn):
        return f"image {len(r.mapX)} x {len(r.mapY)} points"
    if isinstance(r, ixarkit.ImageTRCDataReturn):
        return f"image {len(r.mapX)} x {len(r.mapY)} points, {len(r.labels) or r.traces.shape[2]} traces"
    if isinstance(r, ixarkit.TimeResolvedDataReturn):
        return f"time-resolved, {r.spectra.shape[0]} spectra"
    if isinstance(r, ixarkit.TimeResolvedTRCDataReturn):
        return f"time-resolved, {r.traces.shape[0]} traces"
    if isinstance(r, (ixarkit.MultiRegionDataReturn, ixarkit.MultiRegionTRCDataReturn)):
        points = sum(len(g.mapX) for g in r.regions)
        return f"multi-region, {len(r.regions)} regions, {points} points"
    return type(r).__name__


def list_files(paths, out):
    status = EXIT_OK
    for path in paths:
        try:
            contents = _read(ixarkit.listContents, path)
        except CliError as e:
            print(f"ixarkit: {e}", file=sys.stderr)
            status = status or e.code
            continue
        print(f"{path}: {len(contents)} data set{'s' if len(contents) != 1 else ''}", file=out)
        for ds in contents:
            request = ds if ds[2] != "3DER" else (ds[0], ds[1], "NDER")
            name = " ".join(ds)
            try:
                r = _read(ixarkit.getIxarData, path, request)
            except CliError as e:
                print(f"  {name:<16} unreadable: {e}", file=out)
                status = status or e.code
                continue
            npt = r.parameters.get("NPT", len(r.x))
            print(f"  {name:<16} {npt:>7} points  {_x_range(r):<32} {_shape_summary(r)}", file=out)
    return status


def print_params(r, out):
    width = max((len(k) for k in r.parameters), default=3)
    for key, value in r.parameters.items():
        title = ixarkit.paramDict.get(key, "")
        print(f"{key:<{width}}  {title:<28}  {value}", file=out)


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


def export_csv(r, out):
    if isinstance(r, ixarkit.SingleDataReturn):
        rows = np.column_stack([r.x, np.asarray(r.y, dtype=np.float64)])
        header = ["x", "y"]
    elif isinstance(r, ixarkit.TimeResolvedDataReturn):
        # One row per spectrum: its z value, then the spectrum over x.
        rows = np.column_stack([r.z, np.asarray(r.spectra, dtype=np.float64)])
        header = ["z"] + [repr(float(v)) for v in r.x]
    else:
        raise CliError(f"CSV holds single spectra and time-resolved series; use .npz for "
                       f"{type(r).__name__}", EXIT_USAGE)
    progress = Progress(f"writing {out}", len(rows))
    with open(out, "w", newline="") as fh:
        fh.write(",".join(header) + "\n")
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
    np.savez(out, **arrays)
    progress.close()


def plot(r, out):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("plotting needs matplotlib: pip install 'ixarkit[plot]'", EXIT_USAGE) from None
    xlabel = X_UNITS.get(str(r.parameters.get("DXU", "")), "x")
    ylabel = Y_UNITS.get(r.dataType, r.dataType)
    if r.derivative != "NONE":
        ylabel = f"{ylabel} ({r.derivative.lower()})"
    title = f"{r.dataType} {r.dimension} {r.derivative}"
    x = np.asarray(r.x)

    if isinstance(r, ixarkit.SingleDataReturn):
        fig, ax = plt.subplots(figsize=(8, 4.5))
        ax.plot(x, r.y, lw=1)
        ax.set(xlabel=xlabel, ylabel=ylabel, title=title)
        if x.size > 1 and x[0] > x[-1]:
            ax.invert_xaxis()
    elif isinstance(r, ixarkit.ImageDataReturn):
        fig, (a1, a2) = plt.subplots(1, 2, figsize=(11, 4.5))
        cube = np.asarray(r.spectra, dtype=np.float64)
        trapezoid = getattr(np, "trapezoid", None) or np.trapz
        area = np.abs(trapezoid(cube, x, axis=2)) if x.size > 1 else cube.sum(axis=2)
        im = a1.imshow(area, origin="lower", aspect="equal", extent=_extent(r.mapX, r.mapY))
        fig.colorbar(im, ax=a1, label="Integrated intensity")
        a1.set(xlabel="Map X", ylabel="Map Y", title=f"{title}: integrated intensity")
        a2.plot(x, cube.reshape(-1, cube.shape[2]).mean(axis=0), lw=1)
        a2.set(xlabel=xlabel, ylabel=ylabel, title="Mean spectrum")
        if x.size > 1 and x[0] > x[-1]:
            a2.invert_xaxis()
    elif isinstance(r, ixarkit.ImageTRCDataReturn):
        n = r.traces.shape[2]
        fig, axes = plt.subplots(1, n, figsize=(4.5 * n, 4.2), squeeze=False)
        for k, ax in enumerate(axes[0]):
            im = ax.imshow(r.traces[:, :, k], origin="lower", extent=_extent(r.mapX, r.mapY))
            fig.colorbar(im, ax=ax)
            ax.set(xlabel="Map X", ylabel="Map Y", title=r.labels[k] if k < len(r.labels) else f"trace {k}")
    elif isinstance(r, ixarkit.TimeResolvedDataReturn):
        fig, ax = plt.subplots(figsize=(8, 5))
        z = np.asarray(r.z)
        mesh = ax.pcolormesh(x, z, r.spectra, shading="auto")
        fig.colorbar(mesh, ax=ax, label=ylabel)
        ax.set(xlabel=xlabel, ylabel=str(r.parameters.get("ZTX", "z")), title=title)
        if x.size > 1 and x[0] > x[-1]:
            ax.invert_xaxis()
    elif isinstance(r, ixarkit.TimeResolvedTRCDataReturn):
        fig, ax = plt.subplots(figsize=(8, 4.5))
        for k, trace in enumerate(r.traces):
            ax.plot(x, trace, lw=1, label=r.labels[k] if k < len(r.labels) else f"trace {k}")
        ax.set(xlabel=xlabel, ylabel="Trace value", title=title)
        ax.legend()
    else:  # multi-region maps, spectra or traces
        fig, ax = plt.subplots(figsize=(7, 6))
        for g in r.regions:
            ax.scatter(g.mapX, g.mapY, s=18, label=g.title)
        ax.set(xlabel="Map X", ylabel="Map Y", title=f"{title}: measured points")
        ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def _extent(mapX, mapY):
    if len(mapX) == 0 or len(mapY) == 0:
        return None
    return (float(mapX[0]), float(mapX[-1]), float(mapY[0]), float(mapY[-1]))


def _parser():
    p = argparse.ArgumentParser(
        prog="ixarkit", description="List, inspect, export and plot the data sets of IXAR files.",
        epilog="A data set is named as listed, e.g. AB 2D NONE or AB 3D 1DER.")
    p.add_argument("files", nargs="+", metavar="FILE", help="IXAR file(s)")
    what = p.add_mutually_exclusive_group()
    what.add_argument("--params", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="print the parameters of a data set with their titles")
    what.add_argument("--export", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="write a data set to OUT: .csv (single spectra, time-resolved series) or .npz (any)")
    what.add_argument("--plot", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="draw a data set to OUT (.png, .pdf, .svg); needs matplotlib")
    p.add_argument("-o", "--output", metavar="OUT", help="output file for --export and --plot")
    return p


def _request(words):
    kind, dim, deriv = (w.upper() for w in words)
    return (kind, dim, "NDER" if deriv == "3DER" else deriv)


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    action = args.params or args.export or args.plot
    try:
        if action is None:
            return list_files(args.files, sys.stdout)
        if len(args.files) != 1:
            parser.error("--params, --export and --plot take exactly one FILE")
        if (args.export or args.plot) and not args.output:
            parser.error("--export and --plot need -o OUT")
        path = args.files[0]
        r = _read(ixarkit.getIxarData, path, _request(action))
        if args.params:
            print_params(r, sys.stdout)
        elif args.export:
            ext = os.path.splitext(args.output)[1].lower()
            if ext == ".csv":
                export_csv(r, args.output)
            elif ext == ".npz":
                export_npz(r, args.output)
            else:
                parser.error("--export writes .csv or .npz files")
            print(f"wrote {args.output}", file=sys.stderr)
        else:
            plot(r, args.output)
            print(f"wrote {args.output}", file=sys.stderr)
        return EXIT_OK
    except CliError as e:
        print(f"ixarkit: {e}", file=sys.stderr)
        return e.code
    except BrokenPipeError:
        return EXIT_OK
