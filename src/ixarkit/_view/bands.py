"""Band maps of the viewer: the band a drag on the spectrum sets, and the
map of it, computed by the served page in DataBlock.band's pieces (with
progress, cancelled by a newer band) or by the static page's own script."""

import numpy as np
from bokeh.models import BoxAnnotation, BoxSelectTool, Button, ColumnDataSource, CustomJS

from . import data as D
from .widgets import _progress


def _band_tools(page, block, spectrum_fig, on_band):
    """The band: a source "band" (lo, hi in x units), its box on the spectrum
    panel, dragging on that panel sets it, a button resets it. on_band(first,
    stop) remaps (served pages); static pages pass None and remap in script."""
    x = block.coords[block.dims[-1]]
    band = ColumnDataSource(dict(lo=[float(x[0])], hi=[float(x[-1])]), name="band")
    box = BoxAnnotation(left=float(min(x[0], x[-1])), right=float(max(x[0], x[-1])), fill_alpha=0.12,
                        fill_color="#e08000", line_color="#e08000")
    spectrum_fig.add_layout(box)
    select = BoxSelectTool(dimensions="width", renderers=[])
    spectrum_fig.add_tools(select)
    spectrum_fig.toolbar.active_drag = select
    spectrum_fig.js_on_event("selectiongeometry", CustomJS(args=dict(band=band), code="""
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


# The page's own band integral: band_indices of data.py, and the weights and
# the sum of ixarkit._band (DataBlock.band's), term for term. values: the flat float32 array of `count` records
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


def static_band(band, x, values, count, npt, title, unit, show, **args):
    """A static page's band map: its script maps the band (`out`, a
    Float32Array of `count` values) and ``show`` (script) puts it in the plot."""
    band.js_on_change("data", CustomJS(args=dict(band=band, values=values, count=count, npt=npt, x=x, title=title,
                                                 unit=unit, **args), code=BAND_JS + """
        const [first, stop] = band_indices(x, band.data.lo[0], band.data.hi[0]);
        const out = band_map(values, count, npt, x, first, stop);""" + show + """
        title.text = "Integrated intensity, " + (stop - first == 1 ? `at ${+x[first].toPrecision(6)}` : `${+x[first].toPrecision(6)}–${+x[stop - 1].toPrecision(6)}`) + unit;"""))


def remapper(page, block, title, progress, whole, put, patch, every=0.25):
    """on_band(first, stop) of a served page: the map title, then the band
    map, read whole (``whole()``) or in pieces as they come, with progress
    (patch(start, end, values)); put(values) shows a map, NaN while pieces come."""
    def show_band(first, stop):
        title.text = f"Integrated intensity, {D.band_title(block, first, stop)}"
        if whole():
            page.cancel()
            progress.text = ""
            put(D.band_map(block, first, stop))
            return
        put(np.full(block.shape[:-1], np.nan, np.float32))
        progress.text = _progress(0)

        def apply(batch):
            for start, end, values in batch:
                patch(start, end, values)
            progress.text = _progress(100 * batch[-1][1] // block.shape[0])
        page.background(D.band_map_chunks(block, first, stop), apply, lambda: setattr(progress, "text", ""), every=every)
    return show_band
