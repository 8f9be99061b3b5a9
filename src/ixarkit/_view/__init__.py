"""ixarkit view: explore a file's data sets in the browser (needs ``ixarkit[view]``).

    ixarkit view FILE [TYPE DIM DERIV] [--port N] [--host H] [--no-browser]
    ixarkit view FILE [TYPE DIM DERIV] -o view.html

Serves a Bokeh app for one open file on 127.0.0.1 (unless --host says
otherwise), prints its URL and opens the default browser; or writes one
self-contained HTML page. ``DataBlock.view()`` shows the same app in a
notebook. Bokeh is imported only here, when asked for.
"""

import errno
import os
import sys

from .. import _request as request_words
from .._shared.outputs import _create
from .._shared.reading import (EXIT_DAMAGED, EXIT_NO_DATA_SET, EXIT_OK, EXIT_USAGE, CliError, Parser, Source, _request,
                               check_folder)

INSTALL = 'pip install "ixarkit[view]"'


def _bokeh(what="ixarkit view"):
    try:
        import bokeh  # noqa: F401
    except ImportError:
        raise CliError(f"{what} needs bokeh: {INSTALL}", EXIT_USAGE) from None


def _parser():
    p = Parser(
        prog="ixarkit view", usage="%(prog)s [-h] [--port PORT] [--host HOST] [--no-browser] [-o PAGE.html] "
                                   "FILE [TYPE DIM DERIV]", description="Explore the data sets of an IXAR file in the browser: maps beside "
                                         "spectra, served from this machine, or one self-contained HTML page.")
    p.add_argument("file", metavar="FILE", nargs="?")  # (required: checked in main, which words it)
    p.add_argument("dataset", nargs="*", metavar="TYPE DIM DERIV",
                   help="the data set to show first (default: the first listed); with -o, the one to write")
    p.add_argument("--port", type=int, default=5006, help="port to serve on (default 5006; 0: any free port)")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to serve on (default 127.0.0.1: this machine only)")
    p.add_argument("--no-browser", action="store_true", help="print the URL, do not open a browser")
    p.add_argument("-o", "--output", metavar="PAGE.html",
                   help="write a static page instead of serving (data sets up to 50 MiB of values)")
    return p


def _open(path):
    """(IxarFile, data sets, a line about a damaged directory or None); CliError if it cannot be opened."""
    import ixarkit
    src = Source(path)
    contents, damaged = src.listing()
    if damaged and not contents:
        raise damaged
    try:
        f = ixarkit.open(path)
    except Exception as e:
        raise src.error(e) from None
    return f, list(f), (str(damaged) if damaged else None)


def _chosen(f, path, words):
    if not words:
        return None
    request = _request(words)
    if request is None:
        raise CliError(f"a data set is named by TYPE DIM DERIV (e.g. AB 3D NONE), not {' '.join(words)}", EXIT_USAGE)
    for key in f:
        if _request(key) == request:
            return key
    name = " ".join(request)
    problem = request_words.problem(request)
    if problem:  # worded as every other command words it
        raise CliError(f"{path}: {name}: {problem}", EXIT_NO_DATA_SET)
    raise Source(path).absent(name)


def write_page(f, path, keys, out, problem=None):
    """Writes the static page of these data sets to out; CliError (exit 2)
    if their values exceed what a page holds, (exit 1) when none of them
    can be shown; a data set that cannot be shown beside others that can
    is a warning on standard error."""
    from bokeh.embed import file_html
    from bokeh.resources import INLINE

    from . import app, data
    sizes = {}
    for key in keys:
        try:
            sizes[key] = f[key].nbytes
        except Exception:
            sizes[key] = 0  # damaged: its page shows the message
    total = sum(sizes.values())
    if total > data.STATIC_LIMIT:
        what = " ".join(keys[0]) if len(keys) == 1 else f"the {len(keys)} data sets"
        raise CliError(f"{out}: {what} hold{'s' if len(keys) == 1 else ''} {total / 1e6:.1f} MB of values; "
                       f"a static page holds at most {data.STATIC_LIMIT / 1e6:.1f} MB: name one smaller data set, "
                       f"or serve the file with: ixarkit view {path}", EXIT_USAGE)
    layout, damaged = app.static(f, path, keys, problem)
    messages = [data.damage(path, key, e) for key, e in damaged]
    if messages and len(messages) == len(keys):  # a page of nothing but the news: no page
        more = len(messages) - 1
        tail = f"; {more} more data set{'s' if more != 1 else ''} cannot be shown either" if more else ""
        raise CliError(messages[0] + tail, EXIT_DAMAGED)
    text = file_html(layout, INLINE, title=f"{os.path.basename(path)} — ixarkit view")
    with _create(out, "w", encoding="utf-8") as fh:
        fh.write(text)
    for message in messages:
        print(f"ixarkit: warning: {message}; the page says so where it would show it", file=sys.stderr)


def make_server(f, path, key=None, problem=None, host="127.0.0.1", port=0):
    """A Bokeh server of the viewer for the open file f, bound (port 0: any
    free port) but not started; .port is the port. Serves the app at / and
    Bokeh's own scripts, nothing else."""
    from bokeh.application import Application
    from bokeh.application.handlers import FunctionHandler
    from bokeh.server.server import BaseServer
    from bokeh.server.tornado import BokehTornado
    from bokeh.server.util import bind_sockets
    from tornado.httpserver import HTTPServer
    from tornado.ioloop import IOLoop

    from . import app

    application = Application(FunctionHandler(lambda doc: app.served(doc, f, path, key, problem)))
    sockets, port = bind_sockets(host, port)
    if host in ("0.0.0.0", "::", ""):  # every address of the machine: pages from any of them
        origins = [f"*:{port}"]
    else:
        origins = [f"{_url_host(host)}:{port}"] + ([f"localhost:{port}", f"127.0.0.1:{port}"]
                                                  if host in ("127.0.0.1", "localhost") else [])
    try:
        tornado_app = BokehTornado({"/": application}, extra_websocket_origins=origins,
                                   absolute_url=f"http://{_url_host(host)}:{port}")
        http = HTTPServer(tornado_app)
        http.start(1)
        http.add_sockets(sockets)
    except Exception:
        for s in sockets:
            s.close()
        raise
    server = BaseServer(IOLoop.current(), tornado_app, http)
    server.url = f"http://{_url_host(host)}:{port}/"
    return server


def _url_host(host):
    return f"[{host}]" if ":" in host else host


def main(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.file is None:
        parser.error("the following arguments are required: FILE")
    try:
        _bokeh()
        path = args.file
        if args.output:
            if os.path.splitext(args.output)[1].lower() not in (".html", ".htm"):
                raise CliError(f"{args.output}: ixarkit view -o writes .html files", EXIT_USAGE)
            check_folder(args.output)
        f, keys, problem = _open(path)
        key = _chosen(f, path, args.dataset)
        if args.output:
            write_page(f, path, [key] if key else keys, args.output, problem)
            print(f"wrote {args.output}", file=sys.stderr)
            return EXIT_OK
        return serve(f, path, key, problem, args.host, args.port, not args.no_browser)
    except CliError as e:
        print(f"ixarkit: {e}", file=sys.stderr)
        return e.code


def serve(f, path, key, problem, host, port, browser):
    import webbrowser
    if browser:
        try:
            webbrowser.get()
        except webbrowser.Error:
            raise CliError("no web browser found: pass --no-browser and open the URL yourself", EXIT_USAGE) from None
    try:
        server = make_server(f, path, key, problem, host, port)
    except OSError as e:
        if e.errno == errno.EADDRINUSE:
            raise CliError(f"port {port} on {host} is already in use: pick another with --port", EXIT_USAGE) from None
        raise CliError(f"cannot serve on {host}:{port}: {e.strerror or e}", EXIT_USAGE) from None
    server.start()
    print(f"ixarkit view: serving {path} at {server.url} (Ctrl+C stops)", flush=True)
    if browser:
        server.io_loop.add_callback(webbrowser.open, server.url)
    try:
        server.io_loop.start()
    except KeyboardInterrupt:
        pass
    finally:
        from . import app
        server.stop()
        app.stop_work()
        f.close()
    return EXIT_OK


def show(block, notebook_url="localhost:8888"):
    """Shows the viewer of block's file, at block, in a Jupyter notebook;
    returns the Bokeh Application."""
    from .._dask import need
    need("bokeh", "view", "DataBlock.view")
    from bokeh.application import Application
    from bokeh.application.handlers import FunctionHandler
    from bokeh.io import output_notebook
    from bokeh.io import show as show_app

    from . import app
    file = block._file
    if not _in_notebook():
        raise RuntimeError(f"DataBlock.view() shows the viewer in a Jupyter notebook; elsewhere run: "
                           f"ixarkit view {file.name or 'FILE'} {' '.join(block.key)}")
    application = Application(FunctionHandler(
        lambda doc: app.served(doc, file, file.name or "data", block.key)))
    output_notebook(hide_banner=True)
    show_app(application, notebook_url=notebook_url)
    return application


def _in_notebook():
    """Whether this runs in a Jupyter kernel."""
    shell = getattr(sys.modules.get("IPython"), "get_ipython", lambda: None)()
    return shell is not None and hasattr(shell, "kernel")
