"""What a page of the viewer shares: its file, its document, and the band
maps computed for it on threads, which a newer band, another data set, a
closed session or the end of the server stops."""

import html
import os
import threading
import time
from functools import partial

from bokeh.models import Div

from . import data as D

_working = set()          # band map threads running
_stopping = threading.Event()


def stop_work(timeout=10.0):
    """Stops every band map being computed, waiting up to timeout seconds
    for the reads in flight (before the file is closed and the process ends)."""
    _stopping.set()
    end = time.monotonic() + timeout
    for thread in list(_working):
        thread.join(max(0.0, end - time.monotonic()))
    _stopping.clear()


class Page:
    """What one page shares: its file, whether it is static, its document
    and the band maps computing for it."""

    def __init__(self, file, path, static=False, doc=None):
        self.file, self.path, self.static, self.doc = file, path, static, doc
        # A static page is for sharing: it names its file by its base name,
        # never by where it lies on this machine.
        self.name = os.path.basename(str(path)) if static else path
        self.damaged = []  # (key, exception) of each data set that cannot be shown
        self.generation = 0
        self.closed = threading.Event()
        self.message = Div(name="message", text="", styles={"color": "#a00000"})

    def watch(self, model, attr, callback):
        """A Python callback (served pages), whose failure shows in the page."""
        def call(attr, old, new):
            try:
                self.message.text = ""
                callback(new)
            except Exception as e:  # a damaged record: say so, keep serving
                self.message.text = html.escape(D.damage(self.path, self.key, e, self.name))
        model.on_change(attr, call)

    def background(self, pieces, apply, done, every=0.25):
        """Runs the generator ``pieces`` on a thread; apply(list of pieces)
        on the document's next tick, at most once in ``every`` seconds, and
        done() at the end. A newer job, another data set or a closed session
        stops it."""
        self.generation += 1
        generation, doc = self.generation, self.doc

        def current():
            return generation == self.generation and not self.closed.is_set() and not _stopping.is_set()

        def on_tick(fn, *args):
            if current():
                fn(*args)

        def work():
            _working.add(threading.current_thread())
            batch, last = [], time.monotonic()
            try:
                for piece in pieces:
                    if not current():
                        return
                    batch.append(piece)
                    if time.monotonic() - last > every:
                        doc.add_next_tick_callback(partial(on_tick, apply, batch))
                        batch, last = [], time.monotonic()
                if batch:
                    doc.add_next_tick_callback(partial(on_tick, apply, batch))
                doc.add_next_tick_callback(partial(on_tick, done))
            except Exception as e:
                text = html.escape(D.damage(self.path, self.key, e))
                doc.add_next_tick_callback(partial(on_tick, setattr, self.message, "text", text))
            finally:
                _working.discard(threading.current_thread())

        # started on the next tick, when the session that serves the document runs
        thread = threading.Thread(target=work, daemon=True, name="ixarkit-view-band")
        doc.add_next_tick_callback(thread.start)

    def cancel(self):
        self.generation += 1
