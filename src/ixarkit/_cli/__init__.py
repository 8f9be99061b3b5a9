"""Command line: list, inspect, export and plot the data sets of IXAR files.

    ixarkit FILE... [--check]                        list data sets (--check: and read every value)
    ixarkit FILE --params TYPE DIM DERIV [-o OUT]    parameters with titles (.txt or .json)
    ixarkit FILE --export TYPE DIM DERIV -o OUT      .csv, .npz, .jdx (spectra), .hdr (cubes), .nc, .zarr
    ixarkit FILE --plot TYPE DIM DERIV -o OUT.png    needs matplotlib [--band LO HI] [--dpi N]
    ixarkit FILE --references TYPE DIM DERIV -o OUT.json   Zarr references to the file's own bytes
    ixarkit view FILE [TYPE DIM DERIV]               in the browser (_view); needs bokeh

Every outcome has its exit code and, when something went wrong, one line on
standard error that says what (reading.py). Parsing and the choice of what
to do are here; listing.py lists and prints parameters, export.py and
plots.py draws; reading, outputs and the words of axes and units are
shared with the viewer (_shared).
"""

import argparse
import json
import os
import sys

from ixarkit._request import words as _words
from ixarkit._version import __version__

from .export import (XARRAY_OUTPUTS, _xarray_writer, export_csv, export_envi, export_jdx, export_npz, export_xarray,
                     write_references)
from .listing import list_files, params_json, print_params
from .plots import DPI, _matplotlib, plot, plotted
from .._shared.outputs import _create
from .._shared.reading import (EXIT_DAMAGED, EXIT_NO_DATA_SET, EXIT_NO_FILE, EXIT_NOT_IXAR, EXIT_OK,  # noqa: F401
                               EXIT_USAGE, CliError, Parser, Source, _request, check_folder)

KEY_OPTIONS = ("--params", "--export", "--plot", "--references")
OUTPUTS = {"list": (".txt",), "params": (".txt", ".json"), "references": (".json",),
           "export": (".csv", ".npz", ".nc", ".zarr", ".jdx", ".hdr")}


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
    check_folder(out)
    if action == "export" and ext in XARRAY_OUTPUTS:
        _xarray_writer(out)


def _parser():
    p = Parser(
        prog="ixarkit", description="List, inspect, export and plot the data sets of IXAR files.",
        epilog="A data set is named as listed, e.g. AB 2D NONE or AB 3D 1DER, in any case, or as one word "
               "(\"AB 3D NONE\", ab,3d,none); NDER and 3DER are the same derivative. Exit codes: 0 success, "
               "1 damaged file, 2 bad command line or output, 3 missing or unreadable file, "
               "4 not an IXAR file, 5 no such data set. ixarkit view FILE explores a file in the browser "
               "(ixarkit view --help).")
    p.add_argument("files", nargs="+", metavar="FILE", help="IXAR file(s)")
    what = p.add_mutually_exclusive_group()
    what.add_argument("--params", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="print the parameters of a data set with their titles (-o: .txt or .json)")
    what.add_argument("--export", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="write a data set to OUT: .csv (spectra, time-resolved series and traces), "
                           ".npz (any), .jdx (JCAMP-DX, single spectra), .hdr (ENVI, image cubes), "
                           ".nc or .zarr (any, through xarray, chunk by chunk)")
    what.add_argument("--references", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="write to OUT (.json) references to the file's own bytes that zarr and xarray read "
                           "through fsspec (image cubes and time-resolved series)")
    what.add_argument("--plot", nargs=3, metavar=("TYPE", "DIM", "DERIV"),
                      help="draw a data set to OUT (.png, .pdf, .svg, ...); needs matplotlib")
    p.add_argument("--band", nargs=2, type=float, metavar=("LO", "HI"),
                   help="with --plot: image and multi-region maps of the integral over the x values from LO to HI "
                        "(x units, either order) instead of the whole range")
    p.add_argument("--dpi", type=_dpi, metavar="N",
                   help=f"with --plot: dots per inch of a raster output such as .png (default {DPI})")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file: the listing (.txt), --params (.txt, .json), --export, --plot")
    p.add_argument("--check", action="store_true",
                   help="with the listing: read every value of every data set too (in pieces of bounded size), "
                        "and call damaged those one of whose values cannot be read")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show the reader's report of every failed read of a damaged file")
    p.add_argument("--version", action="version", version=f"ixarkit {__version__}")
    return p


def _dpi(text):
    """--dpi: a whole number of dots per inch, 10 to 2400."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 10 <= value <= 2400:
        raise argparse.ArgumentTypeError(f"{text!r} is not a resolution from 10 to 2400 dots per inch")
    return value


def _split_keys(argv):
    """argv with a data set named in one word ("AB 3D NONE", "ab,3d,none",
    --plot=AB,3D,NONE) spelt as the three words the options take."""
    out, given = [], iter(argv)
    for arg in given:
        option, eq, value = arg.partition("=")
        if option in KEY_OPTIONS and (eq or arg == option):
            value = value if eq else next(given, None)
            out.append(option)
            if value is not None:
                named = _words(value)
                out.extend(named if len(named) == 3 else [value])
        else:
            out.append(arg)
    return out


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["view"]:  # ixarkit view FILE ...: the browser viewer, with its own options
        from ixarkit._view import main as view
        return view(argv[1:])
    parser = _parser()
    args = parser.parse_args(_split_keys(argv))
    action = ("params" if args.params else "export" if args.export else "plot" if args.plot
              else "references" if args.references else "list")
    words = args.params or args.export or args.plot or args.references
    out = args.output
    try:
        if action != "list" and len(args.files) != 1:
            parser.error("--params, --export, --plot and --references take exactly one FILE")
        if action in ("export", "plot", "references") and not out:
            parser.error("--export, --plot and --references need -o OUT")
        if action != "plot" and (args.band or args.dpi):
            parser.error("--band and --dpi go with --plot")
        if action != "list" and args.check:
            parser.error("--check goes with the listing (no --params, --export or --plot)")
        if out:
            _check_output(action, out)
        if action == "list":
            if not out:
                return list_files(args.files, sys.stdout, args.verbose, args.check)
            with _create(out, "w", encoding="utf-8") as fh:
                status = list_files(args.files, fh, args.verbose, args.check)
            print(f"wrote {out}", file=sys.stderr)
            return status
        path = args.files[0]
        request = _request(words)
        if action == "export" and os.path.splitext(out)[1].lower() in XARRAY_OUTPUTS:
            export_xarray(Source(path, args.verbose), request, out)
            print(f"wrote {out}", file=sys.stderr)
            return EXIT_OK
        src = Source(path, args.verbose)
        if action == "references":
            write_references(src, request, out)
            print(f"wrote {out}", file=sys.stderr)
            return EXIT_OK
        r = plotted(src, request) if action == "plot" else src.read(request)
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
            elif out.lower().endswith(".jdx"):
                export_jdx(r, out, path)
            elif out.lower().endswith(".hdr"):
                export_envi(r, out, path)
            else:
                export_npz(r, out)
        elif not hasattr(r, "block"):
            plot(r, out, path, args.band, args.dpi)
        else:
            try:
                plot(r, out, path, args.band, args.dpi)
            except CliError:
                raise
            except Exception:  # damage its layout did not show: the whole read's words for it
                plot(src.read(request), out, path, args.band, args.dpi)
        print(f"wrote {out}", file=sys.stderr)
        return EXIT_OK
    except CliError as e:
        print(f"ixarkit: {e}", file=sys.stderr)
        return e.code
    except BrokenPipeError:
        return EXIT_OK
