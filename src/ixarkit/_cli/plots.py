"""--plot: each family drawn as its ``drawing`` says (_families.FAMILIES),
with the sample name and the file name in the title and units on every axis
and colour bar. Maps are drawn at equal aspect, each pixel or point spanning
its full step, in µm. Maps of integrated intensity are DataBlock.band's sums,
of the spectra already read, as the viewer's are; the viewer shares the
labels and the layout of regions."""

import os
from types import SimpleNamespace

import numpy as np

import ixarkit
from ixarkit import _band as _bands
from ixarkit import _families

from .._shared.reading import EXIT_USAGE, CliError
from .._shared.words import (MAP_UNIT, _band, _integral_label, _label, _labels, _region_layout, _sample, _span,
                             _trace_label, _x_axis, _y_axis, _z_axis)

# Resolution of the drawings, unless --dpi says otherwise; the smallest text drawn, in points.
DPI = 110
SMALLEST_TEXT = 10


def _matplotlib():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("plotting needs matplotlib: pip install 'ixarkit[plot]'", EXIT_USAGE) from None
    return plt


def _edges(centres, step=None):
    """The pixel edges (first, last) of a row of pixel centres."""
    c = np.asarray(centres, dtype=np.float64)
    if c.size > 1:
        step = (c[-1] - c[0]) / (c.size - 1)
    step = float(step) if step else 1.0
    return float(c[0] - step / 2), float(c[-1] + step / 2)


def _extent(r):
    """imshow extent of an image map: the outer edges of its outer pixels."""
    if len(r.mapX) == 0 or len(r.mapY) == 0:
        return None
    return (*_edges(r.mapX, r.parameters.get("DDX")), *_edges(r.mapY, r.parameters.get("DDY")))


def _x_direction(ax, r):
    """Wavenumbers decrease left to right; other x units increase."""
    x = np.asarray(r.x)
    if x.size > 1:
        lo, hi = float(np.nanmin(x)), float(np.nanmax(x))
        if lo < hi:
            ax.set_xlim((hi, lo) if r.parameters.get("DXU") == "WN" else (lo, hi))


def _map_axes(ax):
    ax.set_xlabel(f"X ({MAP_UNIT})")
    ax.set_ylabel(f"Y ({MAP_UNIT})")
    ax.set_aspect("equal")


def _integrated(r, band=None, regions=False):
    """The integral over the x values of ``band`` (all of them without one)
    of every spectrum of r, as DataBlock.band gives it: a map, or (a
    multi-region map: ``regions``) the values of each region's points; and
    its colour bar label."""
    inside = _band(r, band)
    x = np.asarray(r.x, dtype=np.float64)
    if not x.size or np.isnan(x[[0, -1]]).any():
        raise CliError(f"{' '.join((r.dataType, r.dimension, r.derivative))} has no x values to integrate over",
                       EXIT_USAGE)
    first, stop = int(inside[0]), int(inside[-1]) + 1
    if hasattr(r, "block"):  # the same sums, read a band of columns at a time
        values = r.block.band(x[first], x[stop - 1])
    else:
        spectra = np.concatenate([g.spectra for g in r.regions]) if regions else r.spectra
        values = _bands.reduce(spectra[..., first:stop], _bands.terms(x[first:stop], "integral"), "integral")
    if regions:
        values = np.split(values, np.cumsum([len(g.mapX) for g in r.regions])[:-1])
    return values, _integral_label(r, band)


def _mean_spectrum(r):
    """The mean of an image's spectra in float64, summed spectrum after
    spectrum in file order as numpy sums them; from a block, a piece of
    rows of the map at a time."""
    if not hasattr(r, "block"):
        cube = np.asarray(r.spectra, dtype=np.float64)
        return cube.reshape(-1, cube.shape[2]).mean(axis=0)
    ny, nx, npt = r.block.shape
    step, total = max(1, _bands.CHUNK // max(8 * nx * npt, 1)), None
    for first in range(0, ny, step):
        part = np.asarray(r.block[first:first + step], dtype=np.float64).reshape(-1, npt)
        total = np.add.reduce(part if total is None else np.concatenate([total[None], part]), axis=0)
    return total / (ny * nx) if total is not None else np.full(npt, np.nan)


def _title(r, path, what):
    sample = _sample(r)
    head = f"{what}: {sample}" if sample else what
    return f"{head}\n{os.path.basename(path)}, {r.dataType} {r.dimension} {r.derivative}"


def _map_figsize(boxes, panels, longest=6.0):
    """A figure size that gives maps of these outlines about `longest`
    inches on their longer side, at equal aspect, beside their colour bars."""
    boxes = [b for b in boxes if b is not None]
    if not boxes:
        return (6.0 * panels, 5.0)
    lo = np.min([b[0] for b in boxes], axis=0)
    hi = np.max([b[1] for b in boxes], axis=0)
    w, h = np.maximum(hi - lo, 1e-12)
    ratio = float(np.clip(h / w, 0.25, 4.0))
    ax_w, ax_h = (longest, longest * ratio) if ratio <= 1 else (longest / ratio, longest)
    ax_w, ax_h = max(ax_w, 2.5), max(ax_h, 2.0)
    return (panels * (ax_w + 1.8), ax_h + 1.6)


def _region_map(fig, ax, regions, layout, values, label, cmap="viridis"):
    """Multi-region points as squares coloured by values (one array per
    region), a common colour scale, each region outlined and titled."""
    from matplotlib.cm import ScalarMappable
    from matplotlib.collections import PatchCollection
    from matplotlib.colors import Normalize
    from matplotlib.patches import Rectangle

    finite = np.concatenate([np.ravel(v) for v in values]) if values else np.zeros(0)
    finite = finite[np.isfinite(finite)]
    norm = Normalize(*(finite.min(), finite.max()) if finite.size else (0, 1))
    for g, xy, side, box, v in zip(regions, *layout, values):
        if box is None:
            continue
        squares = [Rectangle((px - side / 2, py - side / 2), side, side) for px, py in xy]
        # Not antialiased: neighbouring squares meet without seams.
        patches = PatchCollection(squares, cmap=cmap, norm=norm, linewidths=0, antialiaseds=False)
        patches.set_array(np.asarray(v, dtype=np.float64))
        ax.add_collection(patches)
        lo, hi = box
        ax.add_patch(Rectangle(lo, *(hi - lo), fill=False, ls="--", lw=1, ec="0.35"))
        ax.annotate(g.title, (lo[0], hi[1]), xytext=(0, 3), textcoords="offset points",
                    fontsize=SMALLEST_TEXT, color="0.2", va="bottom")
    ax.autoscale_view()
    ax.margins(x=0.05, y=0.16)  # room for the region titles above their outlines
    _map_axes(ax)
    _colour_bar(fig, ax, ScalarMappable(norm=norm, cmap=cmap), label)


def _colour_bar(fig, ax, mappable, label):
    """A colour bar beside a map, which _fit_bars makes as tall as the map
    (equal aspect shrinks a map inside the room the layout gives it; a bar
    would span all of that room)."""
    bar = fig.colorbar(mappable, ax=ax, label=label, pad=0.02)
    fig.__dict__.setdefault("_map_bars", []).append((ax, bar))
    return bar


def _fit_bars(fig):
    """Lays the figure out once, then fixes it there with each map's colour
    bar beside the map's own box and exactly as tall."""
    bars = fig.__dict__.get("_map_bars")
    if not bars:
        return
    fig.canvas.draw()   # the layout, and each map shrunk to its aspect
    fig.set_layout_engine("none")
    for ax, bar in bars:
        room, box, b = ax.get_position(original=True), ax.get_position(), bar.ax.get_position()
        bar.ax.set_position([box.x1 + (b.x0 - room.x1), box.y0, b.width, box.height])


def _spectrum(r, path, a):
    fig, ((ax,),) = a.figure()
    ax.plot(a.x, r.y, lw=1)
    ax.set(xlabel=a.xlabel, ylabel=a.ylabel, title=_title(r, path, f"{a.yq} spectrum"))
    _x_direction(ax, r)
    return fig


def _image(r, path, a):
    """A map of integrated intensity beside the mean spectrum."""
    fig, ((a1, a2),) = a.figure(2, (11.5, 4.6))
    area, label = _integrated(r, a.band)
    im = a1.imshow(area, origin="lower", interpolation="nearest", extent=_extent(r))
    _colour_bar(fig, a1, im, label)
    _map_axes(a1)
    span = _span(r, _band(r, a.band))
    a1.set_title(f"Integrated intensity, {span}" if span else "Intensity")
    a2.plot(a.x, _mean_spectrum(r), lw=1)
    a2.set(xlabel=a.xlabel, ylabel=a.ylabel, title="Mean spectrum")
    _x_direction(a2, r)
    _mark_band(a2, r, a.band)
    fig.suptitle(_title(r, path, f"{a.yq} image map"))
    return fig


def _trace_maps(r, path, a):
    """One map per trace, side by side."""
    n = r.traces.shape[2]
    fig, axes = a.figure(n, (4.6 * n, 4.0))
    for k, (ax, label) in enumerate(zip(axes[0], _labels(r, n))):
        im = ax.imshow(r.traces[:, :, k], origin="lower", interpolation="nearest", extent=_extent(r))
        _colour_bar(fig, ax, im, _trace_label(label))
        _map_axes(ax)
        ax.set_title(label)
    fig.suptitle(_title(r, path, "Trace maps"))
    return fig


def _heat_map(r, path, a):
    """Spectra over their z values."""
    fig, ((ax,),) = a.figure(1, (8, 5))
    z = np.asarray(r.z)
    mesh = ax.pcolormesh(a.x, z, r.spectra, shading="nearest")
    fig.colorbar(mesh, ax=ax, label=a.ylabel)
    ax.set(xlabel=a.xlabel, ylabel=_label(*_z_axis(r)), title=_title(r, path, f"{a.yq}, time-resolved"))
    _x_direction(ax, r)
    return fig


def _lines(r, path, a):
    """Traces over x, with their labels."""
    fig, ((ax,),) = a.figure()
    for trace, label in zip(r.traces, _labels(r, r.traces.shape[0])):
        ax.plot(a.x, trace, lw=1, label=label)
    ratios = all(_trace_label(label) == label for label in _labels(r, r.traces.shape[0]))
    ylabel = "Trace value" if ratios else _trace_label("Trace value")  # no unit when every trace is a ratio
    ax.set(xlabel=a.xlabel, ylabel=ylabel, title=_title(r, path, "Time-resolved traces"))
    _x_direction(ax, r)
    ax.legend()
    return fig


def _region_traces(r, path, a):
    """One multi-region map per trace."""
    n = r.regions[0].spectra.shape[1] if r.regions else 0
    layout = _region_layout(r.regions)
    fig, axes = a.figure(max(n, 1), _map_figsize(layout[2], max(n, 1), 5.0))
    for k, (ax, label) in enumerate(zip(axes[0], _labels(r, n))):
        values = [np.asarray(g.spectra)[:, k] for g in r.regions]
        _region_map(fig, ax, r.regions, layout, values, _trace_label(label))
        ax.set_title(label)
    fig.suptitle(_title(r, path, "Multi-region trace map"))
    return fig


def _region_spectra(r, path, a):
    """A multi-region map of integrated intensity."""
    layout = _region_layout(r.regions)
    fig, ((ax,),) = a.figure(1, _map_figsize(layout[2], 1))
    values, label = _integrated(r, a.band, regions=True)
    _region_map(fig, ax, r.regions, layout, values, label)
    span = _span(r, _band(r, a.band))
    ax.set_title(_title(r, path, f"{a.yq} map, integrated intensity{', ' + span if span else ''}"))
    return fig


# The drawings of _families.Family.drawing.
DRAWINGS = {"spectrum": _spectrum, "image": _image, "trace maps": _trace_maps, "heat map": _heat_map,
            "lines": _lines, "region traces": _region_traces, "region map": _region_spectra}


def _mark_band(ax, r, band):
    """Shades the band a map integrates on the spectrum beside it."""
    if band is not None:
        x = np.asarray(r.x, dtype=np.float64)[_band(r, band)]
        ax.axvspan(x.min(), x.max(), color="0.85", zorder=0, label="band of the map")


# The drawings that integrate a band of x (--band).
BANDED = ("image", "region map")


def plotted(src, request):
    """What --plot draws of a data set: for maps of integrated intensity,
    the data set's layout and its block, whose bands and mean are read a
    piece at a time; else (and where the layout sees damage) the whole read."""
    try:
        f = ixarkit.open(src.path)
    except Exception:
        return src.read(request)
    try:
        block = f[request]
        if _families.FAMILIES[block.kind].drawing in BANDED:
            from .listing import listed
            found = listed(block, request, src.size)
            if found is not None:
                r = found[0]
                r.block = block
                return r
    except Exception:
        pass
    f.close()
    return src.read(request)


def plot(r, out, path, band=None, dpi=None):
    """Draws data set r, read from path, to the file out, as its family's
    drawing says; image and multi-region maps integrate the x values of
    ``band`` (lo, hi in x units) instead of the whole range."""
    family = _families.FAMILIES[r.block.kind] if hasattr(r, "block") else _families.of_result(r)
    drawing = family.drawing
    if band is not None and drawing not in BANDED:
        raise CliError(f"--band is for image maps and multi-region maps of spectra, not {family.plural}", EXIT_USAGE)
    plt = _matplotlib()
    xq, xu = _x_axis(r)
    yq, yu = _y_axis(r)

    def figure(ncols=1, figsize=(8, 4.5)):
        return plt.subplots(1, ncols, figsize=figsize, squeeze=False, layout="constrained")

    page = SimpleNamespace(figure=figure, x=np.asarray(r.x), xlabel=_label(xq, xu), ylabel=_label(yq, yu), yq=yq,
                           band=band)
    try:
        fig = DRAWINGS[drawing](r, path, page)
    except CliError as e:  # what the data set cannot show (a band outside it): of this file's data set
        raise CliError(f"{path}: {r.dataType} {r.dimension} {r.derivative}: {e}", e.code) from None
    finally:
        if hasattr(r, "block"):
            r.block._file.close()
    try:
        _fit_bars(fig)
        fig.savefig(out, dpi=dpi or DPI)
    except OSError as e:
        raise CliError(f"{out}: cannot write: {e.strerror or e}", EXIT_USAGE) from None
    finally:
        plt.close(fig)
