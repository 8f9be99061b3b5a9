"""Orange's reader of IXAR files (needs ``ixarkit[orange]``): importing this
module registers it, as Orange's own readers are, by the file extension.

    import Orange.data, ixarkit.orange
    spectra = Orange.data.Table.from_file("map.ixar")                      # the file's first data set
    traces = Orange.data.Table.from_file("map.ixar", sheet="TRC 3D NONE")  # or the one named

Orange's canvas imports it at start (the ``orange.widgets`` entry point), so
that the File widget lists IXAR files and offers a file's data sets, named
as listContents names them ("AB 3D NONE"), as its sheets.

A spectrum is a row, its values the attributes, one per x value, named by
the value ("1800.000000") as orange-spectroscopy's readers name them. Traces
are columns, one attribute per trace, named by its label. What places a row
is in its metas: map_x and map_y (µm) of a map's pixels and points, as
orange-spectroscopy's image widgets take them; time of a time-resolved
series; region, region_title and start_time of a multi-region map's points;
the x value of each row of time-resolved traces. A map's pixels follow each
other row by row, a multi-region map's points region by region. The values
are those of ``numpy.asarray(block)`` as float64 (exactly: every float32 is
a float64), but for infinities, which Orange's tables hold as NaN. The
parameters are the table's attributes.
"""

import os

import numpy as np

from . import _families, _handle, _xarray
from ._optional import need
from ._units import SPECTRAL

_data = need("Orange.data", "orange", "ixarkit.orange")
_util = need("Orange.data.util", "orange", "ixarkit.orange")

# The metas of the coordinates that place a pixel or a point on the map, named as orange-spectroscopy's
# widgets look for them; the others keep their names. (Not imported from it: importing it starts a
# dask.distributed client in the process.)
MAP_X, MAP_Y = "map_x", "map_y"
METAS = {"x": MAP_X, "mapX": MAP_X, "y": MAP_Y, "mapY": MAP_Y}


def _meta(name, values):
    """A meta variable and its column: numbers as they are, text as the values of a discrete variable."""
    if values.dtype != object:
        return _data.ContinuousVariable(name), values.astype(np.float64)
    kinds = list(dict.fromkeys(values))
    codes = {v: float(k) for k, v in enumerate(kinds)}
    return _data.DiscreteVariable(name, [str(v) for v in kinds]), np.array([codes[v] for v in values])


def table(block):
    """The data set of a DataBlock as an Orange Table (see the module)."""
    family, dims, spectral = block._family, block.dims, block._spectral()
    across = "trace" if "trace" in dims else spectral  # the dim of the attributes
    rows = [d for d in dims if d != across]
    data = np.moveaxis(np.asarray(block).astype(np.float64), dims.index(across), -1)
    shape, count = data.shape[:-1], int(np.prod(data.shape[:-1], dtype=np.int64))
    data = data.reshape(count, data.shape[-1])
    grid = np.indices(shape).reshape(len(shape), count)  # each row's index along each of the row dims
    coords, metas = block.coords, []
    for name in family.coords:
        coordinate = _families.COORDINATES[name]
        dim = spectral if coordinate.dim == SPECTRAL else coordinate.dim
        if dim == across or name == "point":  # the attributes' own, or the row number
            continue
        values = (coords[spectral if name == SPECTRAL else name] if coordinate.handle
                  else _xarray.VALUES[name](block, coords))
        if values is not None:
            metas.append(_meta(METAS.get(name, dim if name == SPECTRAL else name),
                               np.asarray(values)[grid[rows.index(dim)]]))
    metas.sort(key=lambda meta: {MAP_X: 0, MAP_Y: 1}.get(meta[0].name, 2))  # map_x, map_y first
    variables = [v for v, _ in metas]
    columns = np.column_stack([c for _, c in metas]).astype(object) if metas else np.empty((count, 0), object)
    labels = _xarray._labels(block, coords) if across == "trace" else None
    if across == spectral:  # as orange-spectroscopy's readers name them, which its widgets read back
        names = ["%f" % x for x in coords[spectral]]
    elif labels is not None:
        names = [str(label) or f"trace {n}" for n, label in enumerate(labels)]
    else:
        names = [f"trace {n}" for n in coords["trace"]]
    # Orange's names are unique: a name met again (a label twice, x values alike to six decimals) is numbered
    names = _util.get_unique_names_duplicates(names + [v.name for v in variables])[:len(names)]
    domain = _data.Domain([_data.ContinuousVariable(n) for n in names], None, metas=variables)
    return _data.Table.from_numpy(domain, data, metas=columns, attributes=block.parameters)


class IxarReader(_data.FileFormat):
    """Orange's reader of IXAR files: one data set of the file (its sheet) as a Table."""

    EXTENSIONS = (".ixar", ".IXAR")
    DESCRIPTION = "IXAR spectrometer data (ixarkit)"

    @property
    def sheets(self):
        """The file's data sets, as listContents names them ("AB 3D NONE")."""
        with _handle.open(self.filename) as f:
            return [" ".join(key) for key in f]

    def read(self):
        with _handle.open(self.filename) as f:
            keys = list(f)
            key = self.sheet or (keys[0] if keys else "")  # "": no data set, and f says which the file holds
            made = table(f[key])
            made.name = os.path.splitext(os.path.basename(self.filename))[0]
            if len(keys) > 1:
                made.name += "-" + " ".join(f[key].key)
        return made


# Orange lists its readers once and keeps the list: a reader registered after that is listed too.
getattr(type(_data.FileFormat)._ext_to_attr_if_attr2, "cache_clear", lambda: None)()


def widget_discovery(discovery):
    """What Orange's canvas loads at start (the entry point orange.widgets):
    importing this module registered the reader; it brings no widgets."""
