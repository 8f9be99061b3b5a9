"""The viewer's pages in Bokeh: one layout per family of data set.

A page is served (a Bokeh document: clicks and bands go to Python, which
reads what they select through the handle API) or static (one HTML file: the
values are in the page and its own script answers clicks and bands). Both
take the same layout; what the reading logic is lives in data.py.

Models the tests look up by name: "picker", "message", "progress", "map"
(image or heat map), "points" (multi-region squares), "pick" (the chosen
pixel, point or time), "spectrum", "profile", "values" (every trace at a
point), "band", "trace", "traces", "lines", "parameters".
"""

import html
import os
import threading
import time
from functools import partial

import numpy as np
from bokeh.layouts import column, row
from bokeh.models import (BoxAnnotation, BoxSelectTool, Button, ColorBar, ColumnDataSource, CustomJS, Div,
                          HoverTool, LabelSet, LinearColorMapper, MultiSelect, Range1d, Select, Span, TabPanel,
                          Tabs, TapTool)
from bokeh.palettes import Category10_10, Viridis256
from bokeh.plotting import figure
from bokeh.transform import transform

from . import data as D

MAP_SIDE = 440      # the longer side of a map's frame, in screen pixels
TOOLS = "pan,wheel_zoom,reset,save"


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
                self.message.text = html.escape(D.damage(self.path, self.key, e))
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


# ---------------------------------------------------------------- pieces of layout

def _spectrum_figure(lab, title, name="spectrum-figure", width=560, height=360, x_label=None, y_label=None):
    p = figure(title=title, width=width, height=height, tools=TOOLS, name=name,
               x_axis_label=x_label or lab["x"], y_axis_label=y_label or lab["y"])
    p.x_range.flipped = bool(lab["reversed"]) and x_label is None
    return p


def _map_figure(left, bottom, width, height, title, x_label, y_label, side=MAP_SIDE, name="map-figure"):
    """A figure whose frame shows [left, left + width] x [bottom, bottom +
    height] at equal aspect (the shorter side widened where the map is too
    narrow to show)."""
    width, height = max(width, 1e-12), max(height, 1e-12)
    ratio = height / width
    if ratio > 4:
        extra = height / 4 - width
        left, width, ratio = left - extra / 2, height / 4, 4.0
    elif ratio < 0.25:
        extra = width / 4 - height
        bottom, height, ratio = bottom - extra / 2, width / 4, 0.25
    fw, fh = (side, round(side * ratio)) if ratio <= 1 else (round(side / ratio), side)
    p = figure(title=title, frame_width=fw, frame_height=fh, tools=TOOLS, x_axis_label=x_label, name=name,
               y_axis_label=y_label, x_range=Range1d(left, left + width), y_range=Range1d(bottom, bottom + height))
    p.grid.visible = False
    return p


def _colour_bar(p, mapper, title):
    bar = ColorBar(color_mapper=mapper, title=title, width=12)
    p.add_layout(bar, "right")
    return bar


def _mapper():
    return LinearColorMapper(palette=Viridis256, nan_color=(0, 0, 0, 0))


def _image(p, source, mapper, origin, x_name="x (µm)", y_name="y (µm)", x_fmt="0.0", y_fmt="0.0"):
    """The image of source's "image" on p, its hover showing where and the value."""
    r = p.image(image="image", x="x", y="y", dw="dw", dh="dh", source=source, color_mapper=mapper,
                origin=origin, anchor="bottom_left")
    p.add_tools(HoverTool(renderers=[r], tooltips=[(x_name, f"$x{{{x_fmt}}}"), (y_name, f"$y{{{y_fmt}}}"),
                                                   ("value", "@image{0.0000g}")]))
    return r


def _parameters(block):
    rows = "".join(f"<tr><td><code>{html.escape(k)}</code></td><td>{html.escape(t)}</td><td>{html.escape(v)}</td></tr>"
                   for k, t, v in D.parameters(block))
    return Div(name="parameters", text=f"<details><summary>Parameters ({len(block.parameters)})</summary>"
                                       f"<table style='font-size:12px'>{rows}</table></details>")


def _band_tools(page, block, spec_fig, on_band):
    """The band: a source "band" (lo, hi in x units), its box on the spectrum
    panel, dragging on that panel sets it, a button resets it. on_band(first,
    stop) remaps (served pages); static pages pass None and remap in script."""
    x = block.coords[block.dims[-1]]
    band = ColumnDataSource(dict(lo=[float(x[0])], hi=[float(x[-1])]), name="band")
    box = BoxAnnotation(left=float(min(x[0], x[-1])), right=float(max(x[0], x[-1])), fill_alpha=0.12,
                        fill_color="#e08000", line_color="#e08000")
    spec_fig.add_layout(box)
    select = BoxSelectTool(dimensions="width", renderers=[])
    spec_fig.add_tools(select)
    spec_fig.toolbar.active_drag = select
    spec_fig.js_on_event("selectiongeometry", CustomJS(args=dict(band=band), code="""
        const g = cb_obj.geometry;
        if (cb_obj.final && g.type == "rect") band.data = {lo: [g.x0], hi: [g.x1]};"""))
    band.js_on_change("data", CustomJS(args=dict(band=band, box=box), code="""
        const lo = band.data.lo[0], hi = band.data.hi[0];
        box.left = Math.min(lo, hi); box.right = Math.max(lo, hi);"""))
    whole = Button(label="Whole range", width=110)
    whole.js_on_click(CustomJS(args=dict(band=band, lo=float(x[0]), hi=float(x[-1])),
                               code="band.data = {lo: [lo], hi: [hi]};"))
    if on_band is not None:
        page.watch(band, "data", lambda new: on_band(*D.band_indices(x, new["lo"][0], new["hi"][0])))
    return band, whole


# The page's own band integral: band_indices, weights and band_integral of
# data.py, term for term. values: the flat float32 array of `count` records
# of `npt` values, `x` the spectral axis; returns a Float32Array of count.
BAND_JS = """
function band_indices(x, lo, hi) {
    const a = Math.min(lo, hi), b = Math.max(lo, hi);
    let first = -1, last = -1;
    for (let k = 0; k < x.length; k++) if (x[k] >= a && x[k] <= b) { if (first < 0) first = k; last = k; }
    if (first >= 0) return [first, last + 1];
    let best = 0;
    for (let k = 1; k < x.length; k++) if (Math.abs(x[k] - (a + b) / 2) < Math.abs(x[best] - (a + b) / 2)) best = k;
    return [best, best + 1];
}
function band_map(values, count, npt, x, first, stop) {
    const n = stop - first, w = new Float64Array(n);
    if (n == 1) w[0] = 1;
    else {
        w[0] = Math.abs(x[first + 1] - x[first]) / 2; w[n - 1] = Math.abs(x[stop - 1] - x[stop - 2]) / 2;
        for (let k = 1; k < n - 1; k++) w[k] = Math.abs(x[first + k + 1] - x[first + k - 1]) / 2;
    }
    const out = new Float32Array(count);
    for (let r = 0; r < count; r++) {
        const at = r * npt + first;
        let s = values[at] * w[0];
        for (let k = 1; k < n; k++) s += values[at + k] * w[k];
        out[r] = s;
    }
    return out;
}
"""


def _values(block):
    """The whole main array, flat float32, for a static page."""
    return np.ascontiguousarray(np.asarray(block), dtype=np.float32).ravel()


# ---------------------------------------------------------------- families

def single(page, block):
    lab = D.labels(block)
    x = block.coords[block.dims[0]]
    source = ColumnDataSource(dict(x=x, y=block[:]), name="spectrum")
    sample = f": {lab['sample']}" if lab["sample"] else ""
    p = _spectrum_figure(lab, f"{lab['y'].split(' (')[0]} spectrum{sample}", width=760, height=420)
    p.line("x", "y", source=source, line_width=1.2)
    p.add_tools(HoverTool(tooltips=[("x", "@x{0.00}"), ("y", "@y{0.0000g}")], mode="vline"))
    return column(p, _parameters(block))


def image(page, block):
    lab = D.labels(block)
    ny, nx, npt = block.shape
    x = block.coords[block.dims[-1]]
    gx, gy = D.image_grids(block)
    place = D.placement(gx, gy)
    i0, j0 = ny // 2, nx // 2
    static_values = _values(block) if page.static else None
    whole = page.static or block.nbytes <= D.SMALL
    if page.static:
        first = D.band_integral(static_values.reshape(ny, nx, npt), D.weights(x))
    elif whole:
        first = D.band_map(block, 0, npt)
    else:
        first = np.full((ny, nx), np.nan, np.float32)
    source = ColumnDataSource(dict(image=[first], **{k: [place[k]] for k in ("x", "y", "dw", "dh")}), name="map")
    mapper = _mapper()
    m = _map_figure(place["x"], place["y"], place["dw"], place["dh"], f"Integrated intensity, {D.band_title(block, 0, npt)}",
                    lab["map_x"], lab["map_y"])
    _image(m, source, mapper, place["origin"])
    _colour_bar(m, mapper, lab["integral"])
    marker = ColumnDataSource(dict(x=[gx[0] + j0 * gx[1]], y=[gy[0] + i0 * gy[1]], w=[abs(gx[1])], h=[abs(gy[1])]),
                              name="marker")
    m.rect("x", "y", "w", "h", source=marker, fill_alpha=0, line_color="#ff2020", line_width=2)
    pick = ColumnDataSource(dict(i=[i0], j=[j0]), name="pick")
    _pixel_picking(m, pick, marker, gx, gy)

    spectrum = ColumnDataSource(dict(x=x, y=block[i0, j0]), name="spectrum")
    s = _spectrum_figure(lab, _pixel_title(gx, gy, i0, j0))
    s.line("x", "y", source=spectrum, line_width=1.2)
    s.add_tools(HoverTool(tooltips=[("x", "@x{0.00}"), ("y", "@y{0.0000g}")], mode="vline"))
    progress = Div(name="progress", text="")

    def show_band(first, stop):
        m.title.text = f"Integrated intensity, {D.band_title(block, first, stop)}"
        if whole:
            page.cancel()
            progress.text = ""
            source.data = dict(source.data, image=[D.band_map(block, first, stop)])
            return
        source.data = dict(source.data, image=[np.full((ny, nx), np.nan, np.float32)])
        progress.text = _progress(0)

        def apply(batch):
            for start, end, values in batch:
                source.patch({"image": [((0, slice(start, end), slice(None)), values.ravel())]})
            progress.text = _progress(100 * batch[-1][1] // ny)
        # a map of millions of pixels is drawn again once a second, not four times
        page.background(D.band_map_chunks(block, first, stop), apply, lambda: setattr(progress, "text", ""),
                        every=1.0 if ny * nx > 1 << 20 else 0.25)

    if page.static:
        pick.js_on_change("data", CustomJS(args=dict(pick=pick, spectrum=spectrum, values=static_values, nx=nx, npt=npt,
                                                     title=s.title, gx=list(gx), gy=list(gy)), code="""
            const i = pick.data.i[0], j = pick.data.j[0], at = (i * nx + j) * npt, y = new Float32Array(npt);
            for (let k = 0; k < npt; k++) y[k] = values[at + k];
            spectrum.data = {x: spectrum.data.x, y: y};
            title.text = `Spectrum at x ${+(gx[0] + j * gx[1]).toPrecision(6)} µm, y ${+(gy[0] + i * gy[1]).toPrecision(6)} µm (row ${i}, column ${j})`;"""))
        band, whole_range = _band_tools(page, block, s, None)
        band.js_on_change("data", CustomJS(args=dict(band=band, source=source, values=static_values, ny=ny, nx=nx,
                                                     npt=npt, x=x, title=m.title, unit=_unit(lab)), code=BAND_JS + """
            const [first, stop] = band_indices(x, band.data.lo[0], band.data.hi[0]);
            const old = source.data.image[0], out = band_map(values, ny * nx, npt, x, first, stop);
            source.data = Object.assign({}, source.data, {image: [new old.constructor(out, old.shape)]});
            title.text = "Integrated intensity, " + (stop - first == 1 ? `at ${+x[first].toPrecision(6)}` : `${+x[first].toPrecision(6)}–${+x[stop - 1].toPrecision(6)}`) + unit;"""))
    else:
        def on_pick(new):
            i, j = int(new["i"][0]), int(new["j"][0])
            spectrum.data = dict(x=x, y=block[i, j])
            s.title.text = _pixel_title(gx, gy, i, j)
        page.watch(pick, "data", on_pick)
        band, whole_range = _band_tools(page, block, s, show_band)
        if not whole:
            show_band(0, npt)
    help_text = Div(text="Click a pixel for its spectrum; drag across the spectrum to map that band.",
                    styles={"color": "#555"})
    return column(help_text, row(m, column(s, row(whole_range, progress))), _parameters(block))


def _pixel_picking(m, pick, marker, gx, gy):
    """A tap on map m picks the pixel under it (pick: i, j); the marker follows the pick."""
    m.js_on_event("tap", CustomJS(args=dict(pick=pick, gx=list(gx), gy=list(gy)), code="""
        const i = Math.floor((cb_obj.y - gy[0]) / gy[1] + 0.5), j = Math.floor((cb_obj.x - gx[0]) / gx[1] + 0.5);
        if (i >= 0 && i < gy[2] && j >= 0 && j < gx[2]) pick.data = {i: [i], j: [j]};"""))
    pick.js_on_change("data", CustomJS(args=dict(pick=pick, marker=marker, gx=list(gx), gy=list(gy)), code="""
        const i = pick.data.i[0], j = pick.data.j[0];
        marker.data = {x: [gx[0] + j * gx[1]], y: [gy[0] + i * gy[1]], w: [Math.abs(gx[1])], h: [Math.abs(gy[1])]};"""))


def _pixel_title(gx, gy, i, j):
    return f"Spectrum at x {gx[0] + j * gx[1]:.6g} µm, y {gy[0] + i * gy[1]:.6g} µm (row {i}, column {j})"


def _unit(lab):
    return f" {lab['x_unit']}" if lab["x_unit"] else ""


def _progress(percent):
    return (f"<progress value='{percent}' max='100' style='width:160px'></progress> "
            f"band map {percent}%")


def image_traces(page, block):
    lab = D.labels(block)
    ny, nx, nt = block.shape
    names = D.trace_labels(block)
    gx, gy = D.image_grids(block)
    place = D.placement(gx, gy)
    i0, j0 = ny // 2, nx // 2
    static_values = _values(block) if page.static else None
    source = ColumnDataSource(dict(image=[block[:, :, 0]], **{k: [place[k]] for k in ("x", "y", "dw", "dh")}),
                              name="map")
    mapper = _mapper()
    m = _map_figure(place["x"], place["y"], place["dw"], place["dh"], names[0], lab["map_x"], lab["map_y"])
    _image(m, source, mapper, place["origin"])
    titles = D.trace_titles(names)
    bar = _colour_bar(m, mapper, titles[0])
    marker = ColumnDataSource(dict(x=[gx[0] + j0 * gx[1]], y=[gy[0] + i0 * gy[1]], w=[abs(gx[1])], h=[abs(gy[1])]),
                              name="marker")
    m.rect("x", "y", "w", "h", source=marker, fill_alpha=0, line_color="#ff2020", line_width=2)
    pick = ColumnDataSource(dict(i=[i0], j=[j0]), name="pick")
    _pixel_picking(m, pick, marker, gx, gy)
    values, bars = _trace_bars(names, block[i0, j0, :], _pixel_title(gx, gy, i0, j0).replace("Spectrum", "Traces"))
    picker = Select(title="Trace", options=[(str(k), n) for k, n in enumerate(names)], value="0", name="trace")
    if page.static:
        picker.js_on_change("value", CustomJS(args=dict(picker=picker, source=source, values=static_values, nt=nt,
                                                        names=names, titles=titles, title=m.title, bar=bar),
                                        code="""
            const k = +picker.value, old = source.data.image[0], img = new old.constructor(old.length, old.shape);
            for (let p = 0; p < img.length; p++) img[p] = values[p * nt + k];
            source.data = Object.assign({}, source.data, {image: [img]});
            title.text = names[k]; bar.title = titles[k];"""))
        pick.js_on_change("data", CustomJS(args=dict(pick=pick, target=values, values=static_values, nx=nx, nt=nt,
                                                     title=bars.title, gx=list(gx), gy=list(gy)), code="""
            const i = pick.data.i[0], j = pick.data.j[0], at = (i * nx + j) * nt, y = new Float32Array(nt);
            for (let k = 0; k < nt; k++) y[k] = values[at + k];
            target.data = Object.assign({}, target.data, {value: y});
            title.text = `Traces at x ${+(gx[0] + j * gx[1]).toPrecision(6)} µm, y ${+(gy[0] + i * gy[1]).toPrecision(6)} µm (row ${i}, column ${j})`;"""))
    else:
        def on_trace(new):
            k = int(new)
            source.data = dict(source.data, image=[block[:, :, k]])
            m.title.text, bar.title = names[k], titles[k]

        def on_pick(new):
            i, j = int(new["i"][0]), int(new["j"][0])
            values.data = dict(values.data, value=block[i, j, :])
            bars.title.text = _pixel_title(gx, gy, i, j).replace("Spectrum", "Traces")
        page.watch(picker, "value", on_trace)
        page.watch(pick, "data", on_pick)
    return column(Div(text="Pick a trace to map; click a pixel for every trace's value there.",
                      styles={"color": "#555"}), row(column(picker, m), bars), _parameters(block))


def _trace_bars(names, values, title):
    source = ColumnDataSource(dict(k=np.arange(len(names)), value=np.asarray(values, np.float32), label=names),
                              name="values")
    p = figure(title=title, width=max(360, min(900, 40 * len(names) + 120)), height=360, tools="save",
               x_axis_label="Trace", y_axis_label="Trace value (a.u.)")
    p.vbar(x="k", top="value", width=0.8, source=source)
    if len(names) <= 40:
        p.xaxis.ticker = list(range(len(names)))
        p.xaxis.major_label_overrides = {k: n for k, n in enumerate(names)}
    p.xaxis.major_label_orientation = 0.6 if len(names) > 4 else 0
    p.add_tools(HoverTool(tooltips=[("trace", "@label"), ("value", "@value{0.0000g}")]))
    return source, p


def time_resolved(page, block):
    lab = D.labels(block)
    n, npt = block.shape
    x = block.coords[block.dims[-1]]
    time_label, gt = D.series_grid(block)
    t_name, t_unit = (time_label.split(" (")[0].lower(), time_label.split(" (")[1][:-1]) if " (" in time_label else (time_label.lower(), "")
    times = gt[0] + gt[1] * np.arange(n)
    gx = D.grid(x)
    rows = max(1, min(D.SERIES_ROWS, D.CHUNK // (4 * max(npt, 1))))  # heat maps of 32 MiB at most
    step = 1 if page.static or n <= rows else -(-n // rows)
    static_values = _values(block) if page.static else None
    shown = static_values.reshape(n, npt) if page.static else block[::step]
    place = D.placement(gx, gt)
    source = ColumnDataSource(dict(image=[np.ascontiguousarray(shown)], **{k: [place[k]] for k in ("x", "y", "dw", "dh")}),
                              name="map")
    mapper = _mapper()
    every = f" (one spectrum in {step})" if step > 1 else ""
    h = figure(title=f"{lab['y']}, time-resolved{every}", width=620, height=440, tools=TOOLS, name="map-figure",
               x_axis_label=lab["x"], y_axis_label=time_label,
               x_range=Range1d(*(lambda a, b: (b, a) if lab["reversed"] else (a, b))(place["x"], place["x"] + place["dw"])),
               y_range=Range1d(place["y"], place["y"] + place["dh"]))
    _image(h, source, mapper, place["origin"], "x", "t", x_fmt="0.00", y_fmt="0.000")
    _colour_bar(h, mapper, lab["y"])
    i0, j0 = n // 2, npt // 2
    at_time = Span(location=times[i0], dimension="width", line_color="#ff2020", line_dash="dashed")
    at_x = Span(location=float(x[j0]), dimension="height", line_color="#ff2020", line_dash="dashed")
    h.add_layout(at_time)
    h.add_layout(at_x)
    pick = ColumnDataSource(dict(i=[i0], j=[j0]), name="pick")
    h.js_on_event("tap", CustomJS(args=dict(pick=pick, gx=list(gx), gt=list(gt)), code="""
        const i = Math.floor((cb_obj.y - gt[0]) / gt[1] + 0.5), j = Math.floor((cb_obj.x - gx[0]) / gx[1] + 0.5);
        if (i >= 0 && i < gt[2] && j >= 0 && j < gx[2]) pick.data = {i: [i], j: [j]};"""))
    pick.js_on_change("data", CustomJS(args=dict(pick=pick, gx=list(gx), gt=list(gt), at_time=at_time, at_x=at_x),
                                       code="""
        at_time.location = gt[0] + pick.data.i[0] * gt[1]; at_x.location = gx[0] + pick.data.j[0] * gx[1];"""))
    spectrum = ColumnDataSource(dict(x=x, y=block[i0]), name="spectrum")
    s = _spectrum_figure(lab, f"Spectrum at {t_name} {times[i0]:.6g} {t_unit}", width=480, height=300)
    s.line("x", "y", source=spectrum, line_width=1.2)
    profile = ColumnDataSource(dict(x=times, y=block[:, j0]), name="profile")
    unit = f" {lab['x_unit']}" if lab["x_unit"] else ""
    pr = _spectrum_figure(lab, f"Profile at {x[j0]:.6g}{unit}", "profile-figure", 480, 300, x_label=time_label)
    pr.line("x", "y", source=profile, line_width=1.2)
    if page.static:
        pick.js_on_change("data", CustomJS(args=dict(pick=pick, spectrum=spectrum, profile=profile, values=static_values,
                                                     n=n, npt=npt, st=s.title, pt=pr.title, x=x, times=times,
                                                     t_name=t_name, t_unit=t_unit, unit=unit), code="""
            const i = pick.data.i[0], j = pick.data.j[0], y = new Float32Array(npt), p = new Float32Array(n);
            for (let k = 0; k < npt; k++) y[k] = values[i * npt + k];
            for (let k = 0; k < n; k++) p[k] = values[k * npt + j];
            spectrum.data = {x: spectrum.data.x, y: y}; profile.data = {x: profile.data.x, y: p};
            st.text = `Spectrum at ${t_name} ${+times[i].toPrecision(6)} ${t_unit}`;
            pt.text = `Profile at ${+x[j].toPrecision(6)}${unit}`;"""))
    else:
        def on_pick(new):
            i, j = int(new["i"][0]), int(new["j"][0])
            spectrum.data = dict(x=x, y=block[i])
            profile.data = dict(x=times, y=block[:, j])
            s.title.text = f"Spectrum at {t_name} {times[i]:.6g} {t_unit}"
            pr.title.text = f"Profile at {x[j]:.6g}{unit}"
        page.watch(pick, "data", on_pick)
    return column(Div(text="Click the heat map for the spectrum at that time and the profile at that x.",
                      styles={"color": "#555"}), row(h, column(s, pr)), _parameters(block))


def time_resolved_traces(page, block):
    lab = D.labels(block)
    n, npt = block.shape
    x = block.coords[block.dims[-1]]
    names = D.trace_labels(block)
    chosen = list(range(min(n, 10)))
    static_values = _values(block) if page.static else None

    def lines_of(ks):
        ys = block[np.asarray(ks, np.int64)] if ks else np.zeros((0, npt), np.float32)
        return dict(xs=[x] * len(ks), ys=list(ys), label=[names[k] for k in ks],
                    color=[Category10_10[k % 10] for k in ks])
    source = ColumnDataSource(lines_of(chosen), name="lines")
    p = _spectrum_figure(lab, "Time-resolved traces", width=760, height=420, y_label=lab["trace"])
    p.multi_line("xs", "ys", source=source, line_color="color", legend_field="label", line_width=1.3)
    p.legend.location = "top_left"
    p.legend.click_policy = "hide"
    picker = MultiSelect(title=f"Traces ({n})", options=[(str(k), nm) for k, nm in enumerate(names)],
                         value=[str(k) for k in chosen], size=min(12, max(n, 2)), name="traces", width=220)
    if page.static:
        picker.js_on_change("value", CustomJS(args=dict(picker=picker, source=source, values=static_values, npt=npt, x=x,
                                                        names=names, colors=list(Category10_10)), code="""
            const ks = picker.value.map(Number).sort((a, b) => a - b), d = {xs: [], ys: [], label: [], color: []};
            for (const k of ks) {
                const y = new Float32Array(npt);
                for (let t = 0; t < npt; t++) y[t] = values[k * npt + t];
                d.xs.push(x); d.ys.push(y); d.label.push(names[k]); d.color.push(colors[k % 10]);
            }
            source.data = d;"""))
    else:
        page.watch(picker, "value", lambda new: setattr(source, "data", lines_of(sorted(int(k) for k in new))))
    return column(row(p, picker), _parameters(block))


def multi_region(page, block):
    lab = D.labels(block)
    traces = block.kind == "multi-region-traces"
    npoints = block.shape[0]
    geo = D.regions(block)
    static_values = _values(block) if page.static else None
    names = D.trace_labels(block) if traces else None
    x = None if traces else block.coords[block.dims[-1]]
    width = block.shape[1]
    if traces:
        first = block[:, 0]
    elif page.static:
        first = D.band_integral(static_values.reshape(npoints, width), D.weights(x))
    elif block.nbytes <= D.SMALL:
        first = D.band_map(block, 0, width)
    else:
        first = np.full(npoints, np.nan, np.float32)
    points = ColumnDataSource(dict(x=geo["x"], y=geo["y"], side=geo["side"], value=first, point=np.arange(npoints),
                                   region=geo["title"]), name="points")
    boxes = np.asarray(geo["outlines"] or np.zeros((0, 4)), np.float64).reshape(-1, 4)
    lo = boxes[:, :2].min(axis=0) if len(boxes) else np.zeros(2)
    hi = boxes[:, 2:].max(axis=0) if len(boxes) else np.ones(2)
    pad = 0.06 * (hi - lo).max()
    # room for the titles, about 7 screen pixels a letter of a map MAP_SIDE pixels across
    ends = [b[0] + len(t) * 7 / MAP_SIDE * (hi - lo).max() * 1.15 for b, t in zip(boxes, geo["titles"])]
    hi[0] = max([hi[0]] + ends)
    title = names[0] if traces else f"Integrated intensity, {D.band_title(block, 0, width)}"
    m = _map_figure(lo[0] - pad, lo[1] - pad, hi[0] - lo[0] + 2 * pad, hi[1] - lo[1] + 3 * pad, title,
                    lab["map_x"], lab["map_y"])
    if npoints > 20000:  # tens of thousands of squares and more: drawn by the GPU's way
        m.output_backend = "webgl"
    mapper = _mapper()
    squares = m.rect("x", "y", "side", "side", source=points, fill_color=transform("value", mapper), line_color=None,
                     nonselection_fill_alpha=1.0, selection_line_color="#ff2020", selection_line_width=2)
    outlines = ColumnDataSource(dict(x=(boxes[:, 0] + boxes[:, 2]) / 2, y=(boxes[:, 1] + boxes[:, 3]) / 2,
                                     w=boxes[:, 2] - boxes[:, 0], h=boxes[:, 3] - boxes[:, 1],
                                     left=boxes[:, 0], top=boxes[:, 3], title=geo["titles"]))
    m.rect("x", "y", "w", "h", source=outlines, fill_alpha=0, line_color="#555555", line_dash="dashed")
    m.add_layout(LabelSet(x="left", y="top", text="title", source=outlines, y_offset=3, text_font_size="11px",
                          text_color="#333333"))
    m.add_tools(HoverTool(renderers=[squares], tooltips=[("point", "@point"), ("region", "@region"),
                                                         ("x", "@x{0.0} µm"), ("y", "@y{0.0} µm"),
                                                         ("value", "@value{0.0000g}")]))
    tap = TapTool(renderers=[squares], mode="replace")
    m.add_tools(tap)
    m.toolbar.active_tap = tap
    titles = D.trace_titles(names) if traces else []
    bar = _colour_bar(m, mapper, titles[0] if traces else lab["integral"])
    points.selected.indices = [0] if npoints else []
    selected = points.selected
    parts = [Div(text=("Pick a trace to colour the points; click a point for every trace's value there."
                       if traces else "Click a point for its spectrum; drag across the spectrum to map that band."),
                 styles={"color": "#555"})]
    if traces:
        values, panel = _trace_bars(names, block[0, :] if npoints else np.zeros(len(names)), _point_title(geo, 0))
        picker = Select(title="Trace", options=[(str(k), nm) for k, nm in enumerate(names)], value="0", name="trace")
        if page.static:
            picker.js_on_change("value", CustomJS(args=dict(picker=picker, points=points, values=static_values,
                                                            nt=width, names=names, titles=titles, title=m.title,
                                                            bar=bar), code="""
                const k = +picker.value, v = new Float32Array(points.data.x.length);
                for (let p = 0; p < v.length; p++) v[p] = values[p * nt + k];
                points.data = Object.assign({}, points.data, {value: v});
                title.text = names[k]; bar.title = titles[k];"""))
            selected.js_on_change("indices", CustomJS(args=dict(selected=selected, target=values, values=static_values,
                                                                nt=width, title=panel.title, points=points), code="""
                if (!selected.indices.length) return;
                const p = selected.indices[0], y = new Float32Array(nt);
                for (let k = 0; k < nt; k++) y[k] = values[p * nt + k];
                target.data = Object.assign({}, target.data, {value: y});
                title.text = `Traces at point ${p}, ${points.data.region[p]}`;"""))
        else:
            def on_trace(new):
                k = int(new)
                points.data = dict(points.data, value=block[:, k])
                m.title.text, bar.title = names[k], titles[k]

            def on_select(new):
                if new:
                    values.data = dict(values.data, value=block[int(new[0]), :])
                    panel.title.text = _point_title(geo, int(new[0]))
            page.watch(picker, "value", on_trace)
            page.watch(selected, "indices", on_select)
        parts.append(row(column(picker, m), panel))
    else:
        spectrum = ColumnDataSource(dict(x=x, y=block[0] if npoints else np.zeros(width, np.float32)), name="spectrum")
        s = _spectrum_figure(lab, _point_title(geo, 0).replace("Traces", "Spectrum"))
        s.line("x", "y", source=spectrum, line_width=1.2)
        progress = Div(name="progress", text="")
        if page.static:
            selected.js_on_change("indices", CustomJS(args=dict(selected=selected, spectrum=spectrum, values=static_values,
                                                                npt=width, title=s.title, points=points), code="""
                if (!selected.indices.length) return;
                const p = selected.indices[0], y = new Float32Array(npt);
                for (let k = 0; k < npt; k++) y[k] = values[p * npt + k];
                spectrum.data = {x: spectrum.data.x, y: y};
                title.text = `Spectrum at point ${p}, ${points.data.region[p]}`;"""))
            band, whole_range = _band_tools(page, block, s, None)
            band.js_on_change("data", CustomJS(args=dict(band=band, points=points, values=static_values, npt=width,
                                                         x=x, title=m.title, unit=_unit(lab)), code=BAND_JS + """
                const [first, stop] = band_indices(x, band.data.lo[0], band.data.hi[0]);
                const v = band_map(values, points.data.x.length, npt, x, first, stop);
                points.data = Object.assign({}, points.data, {value: v});
                title.text = "Integrated intensity, " + (stop - first == 1 ? `at ${+x[first].toPrecision(6)}` : `${+x[first].toPrecision(6)}–${+x[stop - 1].toPrecision(6)}`) + unit;"""))
        else:
            def on_select(new):
                if new:
                    spectrum.data = dict(x=x, y=block[int(new[0])])
                    s.title.text = _point_title(geo, int(new[0])).replace("Traces", "Spectrum")

            def show_band(first_, stop):
                m.title.text = f"Integrated intensity, {D.band_title(block, first_, stop)}"
                if block.nbytes <= D.SMALL:
                    page.cancel()
                    progress.text = ""
                    points.data = dict(points.data, value=D.band_map(block, first_, stop))
                    return
                points.data = dict(points.data, value=np.full(npoints, np.nan, np.float32))
                progress.text = _progress(0)

                def apply(batch):
                    for start, end, v in batch:
                        points.patch({"value": [(slice(start, end), v)]})
                    progress.text = _progress(100 * batch[-1][1] // npoints)
                page.background(D.band_map_chunks(block, first_, stop), apply, lambda: setattr(progress, "text", ""))
            page.watch(selected, "indices", on_select)
            band, whole_range = _band_tools(page, block, s, show_band)
            if block.nbytes > D.SMALL:
                show_band(0, width)
        parts.append(row(m, column(s, row(whole_range, progress))))
    parts.append(_parameters(block))
    return column(*parts)


def _point_title(geo, k):
    if not len(geo["x"]):
        return "Traces"
    title = geo["title"][k]
    return f"Traces at point {k}, {title} (x {geo['x'][k]:.6g} µm, y {geo['y'][k]:.6g} µm)"


FAMILIES = {"single": single, "image": image, "image-traces": image_traces, "time-resolved": time_resolved,
            "time-resolved-traces": time_resolved_traces, "multi-region": multi_region,
            "multi-region-traces": multi_region}


def data_set(page, key):
    """The layout of one data set, or one clear message if it is damaged."""
    page.key = key
    try:
        block = page.file[key]
        return FAMILIES[block.kind](page, block)
    except Exception as e:
        return Div(name="damaged", text=f"<b>{html.escape(' '.join(key))}</b> cannot be shown: "
                                        f"{html.escape(D.damage(page.path, key, e))}",
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
    """The layout of a static page: the data sets, one tab each."""
    page = Page(file, path, static=True)
    parts = [(" ".join(k), data_set(page, k)) for k in keys]
    body = parts[0][1] if len(parts) == 1 else Tabs(tabs=[TabPanel(child=c, title=t) for t, c in parts])
    return column(_heading(path, problem), page.message, body)
