"""The viewer's pages in Bokeh: one layout per way a family is drawn.

A page is served (a Bokeh document: clicks and bands go to Python, which
reads what they select through the handle API) or static (one HTML file: the
values are in the page and its own script answers clicks and bands). Both
take the same layout; what the reading logic is lives in data.py.

Here: the page of a file, its data sets picked or in tabs. The layouts of
the families are in maps.py and series.py, made of the pieces of widgets.py;
bands.py sets bands and maps them, page.py runs the band maps of a served
page on threads.

Models the tests look up by name: "picker", "message", "progress", "map"
(image or heat map), "points" (multi-region squares), "pick" (the chosen
pixel, point or time), "spectrum", "profile", "values" (every trace at a
point), "band", "trace", "traces", "lines", "parameters".
"""

import html
import os

from bokeh.layouts import column, row
from bokeh.models import Div, Select, TabPanel, Tabs

from . import data as D
from .maps import image, image_traces, multi_region
from .page import Page, stop_work  # noqa: F401 - the server stops the band maps through app
from .series import single, time_resolved, time_resolved_traces


# The layout of each drawing a family may have (see _families.Family.drawing).
DRAWINGS = {"spectrum": single, "image": image, "trace maps": image_traces, "heat map": time_resolved,
            "lines": time_resolved_traces, "region map": multi_region, "region traces": multi_region}


def data_set(page, key):
    """The layout of one data set, or one clear message if it is damaged."""
    page.key = key
    try:
        block = page.file[key]
        return DRAWINGS[block._family.drawing](page, block)
    except Exception as e:
        message = D.damage(page.path, key, e, page.name)
        page.damaged.append((key, e))
        return Div(name="damaged", text=f"<b>{html.escape(' '.join(key))}</b> cannot be shown: "
                                        f"{html.escape(message)}",
                   styles={"color": "#a00000", "font-size": "14px"})


def _heading(path, problem=None):
    name = html.escape(os.path.basename(str(path)))
    warn = f"<br><span style='color:#a00000'>{html.escape(problem)}</span>" if problem else ""
    return Div(text=f"<h3 style='margin:4px 0'>{name}</h3>{warn}")


def served(doc, file, path, key=None, problem=None):
    """Fills a served document: a picker of every data set, the chosen one's view."""
    page = Page(file, path, doc=doc)
    doc.on_session_destroyed(lambda context: page.closed.set())
    doc.title = f"{os.path.basename(str(path))} — ixarkit view"
    keys = list(file)
    names = [" ".join(k) for k in keys]
    start = names[keys.index(key)] if key in keys else (names[0] if names else "")
    picker = Select(title="Data set", options=names, value=start, name="picker", width=220)
    holder = column(data_set(page, keys[names.index(start)]) if names else Div(text="The file holds no data sets."))

    def switch(attr, old, new):
        page.cancel()
        page.message.text = ""
        holder.children = [data_set(page, keys[names.index(new)])]
    picker.on_change("value", switch)
    doc.add_root(column(_heading(path, problem), row(picker, page.message), holder))
    return page


def static(file, path, keys, problem=None):
    """The layout of a static page: the data sets, one tab each; and the
    (key, exception) of each that cannot be shown."""
    page = Page(file, path, static=True)
    parts = [(" ".join(k), data_set(page, k)) for k in keys]
    body = parts[0][1] if len(parts) == 1 else Tabs(tabs=[TabPanel(child=c, title=t) for t, c in parts])
    return column(_heading(path, problem), page.message, body), page.damaged
