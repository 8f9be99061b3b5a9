"""The layouts of a single spectrum, a time-resolved series and time-resolved traces."""

import numpy as np
from bokeh.layouts import column, row
from bokeh.models import ColumnDataSource, CustomJS, Div, HoverTool, Legend, MultiSelect, Range1d, Span
from bokeh.palettes import Category10_10
from bokeh.plotting import figure

from . import data as D
from .widgets import TOOLS, _colour_bar, _image, _mapper, _parameters, _spectrum_figure, _values


def single(page, block):
    lab = D.labels(block)
    x = block.coords[block.dims[0]]
    source = ColumnDataSource(dict(x=x, y=block[:]), name="spectrum")
    sample = f": {lab['sample']}" if lab["sample"] else ""
    p = _spectrum_figure(lab, f"{lab['y'].split(' (')[0]} spectrum{sample}", width=760, height=420)
    p.line("x", "y", source=source, line_width=1.2)
    p.add_tools(HoverTool(tooltips=[("x", "@x{0.00}"), ("y", "@y{0.0000g}")], mode="vline"))
    return column(p, _parameters(block))


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
    _image(h, source, mapper, place["origin"], lab["x"], time_label, x_fmt="0.00", y_fmt="0.000")
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
    p.add_layout(Legend(click_policy="hide"), "right")  # beside the lines, never over them
    p.multi_line("xs", "ys", source=source, line_color="color", legend_field="label", line_width=1.3)
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
