"""The layouts of maps: image maps, trace maps and multi-region maps."""

import numpy as np
from bokeh.layouts import column, row
from bokeh.models import ColumnDataSource, CustomJS, Div, HoverTool, LabelSet, Select, TapTool
from bokeh.transform import transform

from . import data as D
from .bands import _band_tools, remapper, static_band
from .widgets import (MAP_SIDE, _colour_bar, _image, _map_figure, _mapper, _marker, _parameters, _pixel_picking,
                      _pixel_title, _point_title, _spectrum_figure, _trace_bars, _unit, _values)


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
    _marker(m, marker)
    pick = ColumnDataSource(dict(i=[i0], j=[j0]), name="pick")
    _pixel_picking(m, pick, marker, gx, gy)

    spectrum = ColumnDataSource(dict(x=x, y=block[i0, j0]), name="spectrum")
    s = _spectrum_figure(lab, _pixel_title(gx, gy, i0, j0))
    s.line("x", "y", source=spectrum, line_width=1.2)
    s.add_tools(HoverTool(tooltips=[("x", "@x{0.00}"), ("y", "@y{0.0000g}")], mode="vline"))
    progress = Div(name="progress", text="")

    def put(values):
        source.data = dict(source.data, image=[values])

    def patch(start, end, values):
        source.patch({"image": [((0, slice(start, end), slice(None)), values.ravel())]})
    # a map of millions of pixels is drawn again once a second, not four times
    show_band = remapper(page, block, m.title, progress, lambda: whole, put, patch,
                         every=1.0 if ny * nx > 1 << 20 else 0.25)

    if page.static:
        pick.js_on_change("data", CustomJS(args=dict(pick=pick, spectrum=spectrum, values=static_values, nx=nx, npt=npt,
                                                     title=s.title, gx=list(gx), gy=list(gy)), code="""
            const i = pick.data.i[0], j = pick.data.j[0], at = (i * nx + j) * npt, y = new Float32Array(npt);
            for (let k = 0; k < npt; k++) y[k] = values[at + k];
            spectrum.data = {x: spectrum.data.x, y: y};
            title.text = `Spectrum at x ${+(gx[0] + j * gx[1]).toPrecision(6)} µm, y ${+(gy[0] + i * gy[1]).toPrecision(6)} µm (row ${i}, column ${j})`;"""))
        band, whole_range = _band_tools(page, block, s, None)
        static_band(band, x, static_values, ny * nx, npt, m.title, _unit(lab), """
            const old = source.data.image[0];
            source.data = Object.assign({}, source.data, {image: [new old.constructor(out, old.shape)]});""",
                    source=source)
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
    _marker(m, marker)
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


def _title_lifts(boxes, titles, per_pixel, line=14):
    """Screen pixels to lift each region's title by (set at its outline's
    top left corner), so that no two of them overlap: a title meeting one
    placed before it goes a line higher, as often as it needs."""
    placed, lifts = [], []
    for (left, _, _, top), title in zip(boxes, titles):
        right, lift = left + len(title) * 7 * per_pixel, 0
        while any(left < r and l < right and abs(top + lift * per_pixel - y) < line * per_pixel
                  for l, r, y in placed):
            lift += line
        placed.append((left, right, top + lift * per_pixel))
        lifts.append(lift)
    return lifts


def multi_region(page, block):
    lab = D.labels(block)
    traces = block._family.traces
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
    per_pixel = (hi - lo).max() * 1.15 / MAP_SIDE
    ends = [b[0] + len(t) * 7 * per_pixel for b, t in zip(boxes, geo["titles"])]
    hi[0] = max([hi[0]] + ends)
    lifts = _title_lifts(boxes, geo["titles"], per_pixel)  # titles of overlapping regions one above the other
    hi[1] += max(lifts, default=0) * per_pixel
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
                                     left=boxes[:, 0], top=boxes[:, 3], title=geo["titles"],
                                     lift=[3 + k for k in lifts]))
    m.rect("x", "y", "w", "h", source=outlines, fill_alpha=0, line_color="#555555", line_dash="dashed")
    m.add_layout(LabelSet(x="left", y="top", text="title", source=outlines, y_offset="lift", text_font_size="11px",
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
            static_band(band, x, static_values, npoints, width, m.title, _unit(lab), """
                points.data = Object.assign({}, points.data, {value: out});""", points=points)
        else:
            def on_select(new):
                if new:
                    spectrum.data = dict(x=x, y=block[int(new[0])])
                    s.title.text = _point_title(geo, int(new[0])).replace("Traces", "Spectrum")

            def put(v):
                points.data = dict(points.data, value=v)
            show_band = remapper(page, block, m.title, progress, lambda: block.nbytes <= D.SMALL, put,
                                 lambda start, end, v: points.patch({"value": [(slice(start, end), v)]}))
            page.watch(selected, "indices", on_select)
            band, whole_range = _band_tools(page, block, s, show_band)
            if block.nbytes > D.SMALL:
                show_band(0, width)
        parts.append(row(m, column(s, row(whole_range, progress))))
    parts.append(_parameters(block))
    return column(*parts)
