"""The pieces the viewer's layouts are made of: figures of spectra and
maps, colour bars, images, the table of parameters, the picking of pixels,
bars of trace values, titles and the progress of a band map."""

import html

import numpy as np
from bokeh.models import (ColorBar, ColumnDataSource, CustomJS, CustomJSHover, Div, HoverTool, LinearColorMapper,
                          Range1d)
from bokeh.palettes import Viridis256
from bokeh.plotting import figure

from . import data as D

MAP_SIDE = 440      # the longer side of a map's frame, in screen pixels
TOOLS = "pan,wheel_zoom,reset,save"


def _spectrum_figure(lab, title, name="spectrum-figure", width=560, height=360, x_label=None, y_label=None):
    p = figure(title=title, width=width, height=height, tools=TOOLS, name=name,
               x_axis_label=x_label or lab["x"], y_axis_label=y_label or lab["y"])
    p.x_range.flipped = bool(lab["reversed"]) and x_label is None
    p.x_range.range_padding = 0  # the x axis spans the data, no more
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


# The value of the image's element under the pointer. The image spans
# [x, x + dw] x [y, y + dh] with element [0, 0] at its `origin` corner; the
# plotting library's own "@image" field takes element [0, 0] to lie at the
# lower left whatever the origin, which mirrors the values of maps whose
# axes run backwards (wavenumbers from high to low).
_VALUE_UNDER_POINTER = """
    const d = source.data, img = d.image[0];
    const rows = img.shape ? img.shape[0] : img.length, cols = img.shape ? img.shape[1] : img[0].length;
    const fx = (special_vars.x - d.x[0]) / d.dw[0], fy = (special_vars.y - d.y[0]) / d.dh[0];
    if (!(fx >= 0 && fx < 1 && fy >= 0 && fy < 1)) return "";
    let j = Math.floor(fx * cols), i = Math.floor(fy * rows);
    if (origin.endsWith("right")) j = cols - 1 - j;
    if (origin.startsWith("top")) i = rows - 1 - i;
    const v = img.shape ? img[i * cols + j] : img[i][j];
    return Number.isFinite(v) ? String(+v.toPrecision(4)) : "no value";
"""


def _image(p, source, mapper, origin, x_name="x (µm)", y_name="y (µm)", x_fmt="0.0", y_fmt="0.0"):
    """The image of source's "image" on p, its hover showing where and the
    value of the element there."""
    r = p.image(image="image", x="x", y="y", dw="dw", dh="dh", source=source, color_mapper=mapper,
                origin=origin, anchor="bottom_left")
    value = CustomJSHover(args=dict(source=source, origin=origin), code=_VALUE_UNDER_POINTER)
    p.add_tools(HoverTool(renderers=[r], tooltips=[(x_name, f"$x{{{x_fmt}}}"), (y_name, f"$y{{{y_fmt}}}"),
                                                   ("value", "$sx{value}")], formatters={"$sx": value}))
    return r


def _parameters(block):
    rows = "".join(f"<tr><td><code>{html.escape(k)}</code></td><td>{html.escape(t)}</td><td>{html.escape(v)}</td></tr>"
                   for k, t, v in D.parameters(block))
    return Div(name="parameters", text=f"<details><summary>Parameters ({len(block.parameters)})</summary>"
                                       f"<table style='font-size:12px'>{rows}</table></details>")


def _values(block):
    """The whole main array, flat float32, for a static page."""
    return np.ascontiguousarray(np.asarray(block), dtype=np.float32).ravel()


def _marker(m, marker):
    """The chosen pixel on map m: its outline, and a square of 14 screen
    pixels around it that shows where the pixel is too small to see."""
    m.rect("x", "y", "w", "h", source=marker, fill_alpha=0, line_color="#ff2020", line_width=2)
    m.scatter("x", "y", source=marker, marker="square", size=14, fill_alpha=0, line_color="#ff2020", line_width=1.5)


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


def _trace_bars(names, values, title):
    source = ColumnDataSource(dict(k=np.arange(len(names)), value=np.asarray(values, np.float32), label=names),
                              name="values")
    # as wide as its title, which names the point and its coordinates (about 8 pixels a letter)
    p = figure(title=title, width=max(360, min(900, 40 * len(names) + 120), 8 * len(title) + 60), height=360,
               tools="save",
               x_axis_label="Trace", y_axis_label="Trace value (a.u.)")
    p.vbar(x="k", top="value", width=0.8, source=source)
    if len(names) <= 40:
        p.xaxis.ticker = list(range(len(names)))
        p.xaxis.major_label_overrides = {k: n for k, n in enumerate(names)}
    p.xaxis.major_label_orientation = 0.6 if len(names) > 4 else 0
    p.add_tools(HoverTool(tooltips=[("trace", "@label"), ("value", "@value{0.0000g}")]))
    return source, p


def _point_title(geo, k):
    if not len(geo["x"]):
        return "Traces"
    title = geo["title"][k]
    return f"Traces at point {k}, {title} (x {geo['x'][k]:.6g} µm, y {geo['y'][k]:.6g} µm)"
