"""ixarkit.orange: Orange's Table.from_file reads every family as the table it
should be (values, attribute names, metas), a file's data sets as its sheets;
Orange's canvas finds the reader by the entry point."""

import os
from importlib import metadata

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import main_array, same
from test_handle import FILES

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
od = pytest.importorskip("Orange.data")
reader = pytest.importorskip("ixarkit.orange")
SAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "absorbance.ixar")
CASES = dict(FILES, special=(w.single_spectrum(w.special_floats(9), 9, 1), ("AB", "2D", "NONE"), "single"))


def metas(want, coords):
    """The metas of each row, from what getIxarData gives."""
    if hasattr(want, "regions"):
        of = lambda name: np.concatenate([getattr(r, name) for r in want.regions])  # noqa: E731
        placed = {"map_x": of("mapX"), "map_y": of("mapY"), "region": coords["region"],
                  "region_title": [r.title for r in want.regions for _ in r.mapX]}
        return dict(placed, start_time=of("start_time")) if want.regions[0].start_time is not None else placed
    if hasattr(want, "mapX"):  # pixels row by row
        return dict(zip(("map_x", "map_y"), (a.ravel() for a in np.meshgrid(want.mapX, want.mapY))))
    return {"time": want.z} if hasattr(want, "z") else {"spectral_time": want.x} if hasattr(want, "labels") else {}


@pytest.mark.filterwarnings("ignore:Array contains infinity")
@pytest.mark.parametrize("name", list(CASES))
def test_every_family_is_the_table_it_should_be(tmp_path, name):
    f, req, kind = CASES[name]
    path = f.write(tmp_path / f"{name}.ixar")
    want, table = ixarkit.getIxarData(path, req), od.Table.from_file(path)
    values = main_array(want).astype(np.float64)
    values = values.T if kind == "time-resolved-traces" else values.reshape(-1, values.shape[-1])
    same(table.X, np.where(np.isinf(values), np.nan, values))  # Orange's tables hold no infinities
    names = want.labels if hasattr(want, "labels") else ["%f" % x for x in want.x]
    assert [a.name for a in table.domain.attributes] == names and table.Y.shape == (len(values), 0)
    expected = metas(want, ixarkit.open(path)[req].coords)
    assert [m.name for m in table.domain.metas] == list(expected) and table.name == name
    for meta, column in expected.items():
        var, got = table.domain[meta], table.get_column(meta)
        if isinstance(var, od.DiscreteVariable):  # text
            assert [var.str_val(v) for v in got] == column
        else:
            same(got.astype(np.float64), np.asarray(column, np.float64))
    assert str(table.attributes) == str(want.parameters)  # (NaN among them: no equal dict)


def test_data_sets_are_sheets():
    got = od.io.FileFormat.get_reader(SAMPLE)
    assert type(got) is reader.IxarReader and got.sheets == [" ".join(k) for k in ixarkit.listContents(SAMPLE)]
    first, chosen = od.Table.from_file(SAMPLE), od.Table.from_file(SAMPLE, sheet="rsc 2d none")
    same(first.X[0], ixarkit.getIxarData(SAMPLE, ("AB", "2D", "NONE")).y.astype(np.float64))
    same(chosen.X[0], ixarkit.getIxarData(SAMPLE, ("RSC", "2D", "NONE")).y.astype(np.float64))
    assert (first.name, chosen.name) == ("absorbance-AB 2D NONE", "absorbance-RSC 2D NONE")
    e = pytest.raises(KeyError, od.Table.from_file, SAMPLE, sheet="TR 2D NONE")
    e.match("no data set TR 2D NONE in .*absorbance.ixar.*, which holds AB 2D NONE")


def test_orange_canvas_loads_the_reader_by_its_entry_point():
    (point,) = [p for p in metadata.entry_points(group="orange.widgets") if p.name == "ixarkit"]
    assert point.load() is reader.widget_discovery and reader.widget_discovery(None) is None
    assert od.io.FileFormat.readers[".ixar"] is reader.IxarReader and reader.IxarReader in od.io.FileFormat.formats
