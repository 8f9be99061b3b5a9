# Tests for the result classes: construction rules, attribute layout,
# description texts, docstrings, str/repr and pickling.
import pickle

import pytest

import ixarkit

CLASS_NAMES = [
    "BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
    "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
    "Region", "MultiRegionTRCDataReturn",
]
# Own constructor parameters of each subclass, in binding order.
OWN = {
    "SingleDataReturn": ["y"],
    "ImageDataReturn": ["mapX", "mapY", "spectra"],
    "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"],
    "TimeResolvedDataReturn": ["z", "spectra"],
    "TimeResolvedTRCDataReturn": ["labels", "traces"],
    "MultiRegionDataReturn": ["regions"],
    "MultiRegionTRCDataReturn": ["labels", "regions"],
}
SUBCLASSES = list(OWN)
BASE_ATTRS = ["dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"]

BASE_TEXT = (
    "This object contains:\n\tdimension of file (.dimension)\n\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n\tdictionary of parameters with parameter name then value"
    " (.parameters)\n\tspectrum x coordinates (.x)\n\tminimum and maximum y values (.minY and .maxY)\n"
)
_GRID = ("\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n\t\tyn\n\t\n")
_LABELS = "\ta list containing the names of the trace blocks (.labels)\n"
_REGION_HEAD = ("\tlist of regions (.regions)\n\n\teach region is a Region object containing:\n"
                "\t\tdescription of region (title)\n\t\tx mapping coordinates array (mapX)\n"
                "\t\ty mapping coordinates array (mapY)\n")
ADDITIONS = {
    "SingleDataReturn": "\ty data points (.y)\n",
    "ImageDataReturn": (
        "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n\t3D numpy array containing the"
        " spectrum associated with the x and y mapping coordinates (.spectra)\n" + _GRID
        + "\taccess the spectrum with returnedObject.spectra[row][column]\n"),
    "ImageTRCDataReturn": (
        "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n" + _LABELS
        + "\t3D numpy array containing the trace values associated with the x and y mapping coordinates"
        " (.traces)\n" + _GRID + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n"),
    "TimeResolvedDataReturn": (
        "\tz (time) axis coordinates (.z)\n\t2D numpy array containing the spectrum associated with the z"
        " time coordinates (.spectra)\n\taccess the spectrum with returnedObject.spectra[z]\n"),
    "TimeResolvedTRCDataReturn": (
        _LABELS + "\t2D numpy array containing trace values (.traces)\n"
        "\taccess the trace with returnedObject.traces[label index]\n"),
    "MultiRegionDataReturn": (
        _REGION_HEAD + "\t\ttimestamps of spectrum acquisition array (start_time)\n"
        "\t\t2D array containing spectra in the region (spectra)\n\t\taccess a spectrum with\n"
        "\t\t\treturnedObject.regions[region index].spectra[row]"),
    "MultiRegionTRCDataReturn": (
        _LABELS + _REGION_HEAD + "\t\t2D array containing traces in the region (spectra)\n"
        "\t\taccess the traces for a position with\n\t\t\treturnedObject.regions[region index].spectra[row]"),
}


def base_kw():
    return dict(dimension="3D", dataType="AB", deriv="NONE", parameters={"NPT": 3},
                x=[1.0, 2.0, 3.0], minY=-0.5, maxY=2.5)


def make(name, **extra):
    own = {p: "<%s>" % p for p in OWN.get(name, [])}
    return getattr(ixarkit, name)(**own, **base_kw(), **extra)


def all_results():
    region = ixarkit.Region("Region 1", [0.0], [1.0], None, [[1.0]])
    return [ixarkit.BaseDataReturn(**base_kw())] + [make(n) for n in SUBCLASSES] + [region]


# --- descriptions, str and repr --------------------------------------------

@pytest.mark.parametrize("name", ["BaseDataReturn"] + SUBCLASSES)
def test_description_is_base_text_then_addition(name):
    r = make(name)
    assert r.description == BASE_TEXT + ADDITIONS.get(name, "")
    assert str(r) == repr(r) == r.description


def test_description_details():
    assert make("SingleDataReturn").description == BASE_TEXT + "\ty data points (.y)\n"
    for name in ("MultiRegionDataReturn", "MultiRegionTRCDataReturn"):
        assert make(name).description.endswith("returnedObject.regions[region index].spectra[row]")
    for name in ("ImageDataReturn", "ImageTRCDataReturn"):
        lines = make(name).description.split("\n")
        assert "Map y\t\ty1" in lines and lines[lines.index("\t") + 1].startswith("\taccess")


def test_print_and_replaced_description(capsys):
    r = make("TimeResolvedDataReturn")
    print(r)
    assert capsys.readouterr().out == BASE_TEXT + ADDITIONS["TimeResolvedDataReturn"] + "\n"
    r.x = [9.0]
    r.parameters["NPT"] = 1
    assert r.description == BASE_TEXT + ADDITIONS["TimeResolvedDataReturn"]
    r.description = "something else"
    print(r)
    assert capsys.readouterr().out == "something else\n"
    assert str(r) == repr(r) == "something else"


def test_region_str_and_repr_are_title():
    region = ixarkit.Region(title="Region 2: 3 x 4", mapX=[0.0], mapY=[0.0], start_time=None, spectra=[])
    assert repr(region) == str(region) == "Region 2: 3 x 4"
    assert not hasattr(region, "description")
    assert list(vars(region)) == ["title", "mapX", "mapY", "start_time", "spectra"]
    region.title = "renamed"
    assert str(region) == "renamed"


# --- attributes ---------------------------------------------------------------

@pytest.mark.parametrize("name", SUBCLASSES)
def test_attributes_in_order_and_by_reference(name):
    own, kw = {p: [p] for p in OWN[name]}, base_kw()
    r = getattr(ixarkit, name)(**own, **kw)
    assert list(vars(r)) == OWN[name] + BASE_ATTRS
    assert all(getattr(r, p) is v for p, v in own.items())
    assert r.x is kw["x"] and r.parameters is kw["parameters"]
    assert not hasattr(r, "deriv")
    assert r.derivative == "NONE" and r.minY == -0.5 and r.maxY == 2.5


def test_base_accepts_positional_and_keyword():
    a = ixarkit.BaseDataReturn("2D", "TR", "1DER", {}, [0.0], 0.0, 1.0)
    b = ixarkit.BaseDataReturn(dimension="2D", dataType="TR", deriv="1DER", parameters={}, x=[0.0],
                               minY=0.0, maxY=1.0)
    assert vars(a) == vars(b) and list(vars(a)) == BASE_ATTRS


def test_own_parameters_by_position():
    r = ixarkit.ImageTRCDataReturn("mx", "my", ["T1"], "tr", **base_kw())
    assert (r.mapX, r.mapY, r.labels, r.traces) == ("mx", "my", ["T1"], "tr")


def test_new_attributes_allowed():
    r = make("SingleDataReturn")
    r.note = "added"
    r.y = None
    assert r.note == "added" and r.y is None


# --- bad arguments ------------------------------------------------------------

@pytest.mark.parametrize("missing", ["dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"])
def test_missing_base_keyword(missing):
    kw = base_kw()
    del kw[missing]
    with pytest.raises(TypeError):
        ixarkit.SingleDataReturn(y=[], **kw)


@pytest.mark.parametrize("name, args, kwds", [
    ("SingleDataReturn", (), dict(base_kw(), y=[], z=[])),                # unexpected keyword
    ("SingleDataReturn", (), dict(base_kw(), y=[], derivative="NONE")),   # attribute name, not keyword
    ("SingleDataReturn", ([],) + tuple(base_kw().values()), {}),          # base values by position
    ("TimeResolvedDataReturn", ([], []), dict(base_kw(), z=[])),          # own parameter twice
    ("MultiRegionDataReturn", (), base_kw()),                             # own parameter missing
    ("BaseDataReturn", (), dict(base_kw(), y=[])),
    ("BaseDataReturn", tuple(base_kw().values()) + (0,), {}),
    ("Region", ("t", [], [], None), {}),
])
def test_bad_arguments_raise_type_error(name, args, kwds):
    with pytest.raises(TypeError):
        getattr(ixarkit, name)(*args, **kwds)


# --- classes ------------------------------------------------------------------

def test_classes_bound_in_order():
    assert [n for n in vars(ixarkit) if n in CLASS_NAMES] == CLASS_NAMES


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_layout(name):
    cls = getattr(ixarkit, name)
    assert cls.__module__ == "ixarkit"
    methods = [k for k, v in vars(cls).items() if callable(v)]
    if name == "BaseDataReturn":
        assert cls.__bases__ == (object,) and methods == ["__init__", "__str__", "__repr__"]
    elif name == "Region":
        assert cls.__bases__ == (object,) and methods == ["__init__", "__repr__"]
    else:
        assert cls.__bases__ == (ixarkit.BaseDataReturn,) and methods == ["__init__"]


def _doc(summary, note, attrs):
    """Assemble a class docstring; attrs items are text (8-space indent) or (indent, text)."""
    lines = [""] + ["    " + s for s in summary] + [""]
    if note:
        lines += ["    " + s for s in note] + [""]
    lines.append("    Attributes:")
    lines += [" " * a[0] + a[1] if isinstance(a, tuple) else " " * 8 + a for a in attrs]
    return "\n".join(lines) + "\n    "


_BASE_DOC = [
    "description (str):  Description of the data object attributes",
    "dimension (str):    Datablock dimensions (2D or 3D)",
    "dataType (str):     The datablock type (AB, TR, SSC, etc)",
    "derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)",
    "parameters (dict):  Dictionary of relevant data/sample/instrument parameters",
    "x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates",
    "minY (float):       Minimum y value",
    "maxY (float):       Maximum y value",
]
_TRC_X = _BASE_DOC[:5] + ["x (:obj:`ndarray`): 1D numpy array of trace x coordinates"] + _BASE_DOC[6:]
_MAP_XY = ["mapX (:obj:`ndarray`):      1D numpy array of X map coordinates",
           "mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates"]
_MR_SUMMARY = ["Hyperspectral multiregion point map(s) returned by .getIxarData() for",
               "multiregion 3D point mapping datablocks."]
_MR_NOTE = ["Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates",
            "cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn."]
_MR_REGION = ["regions (:obj:`list` of :obj:`Region`): List of regions.",
              (28, "Each region is a :class:Region containing"),
              "regions[0].title (str):     description of region",
              "regions[0].mapX (ndarray):  1D numpy array of X map coordinates",
              "regions[0].mapY (ndarray):  1D numpy array of Y map coordinates"]
_LAST_ROW = (40, "returnedObject.regions[region index].spectra[row]")

DOCS = {
    "BaseDataReturn": _doc(["Base class for data object returned by .getIxarData()."], None, _BASE_DOC),
    "SingleDataReturn": _doc(
        ["Single spectrum data object returned by .getIxarData() for 2D datablocks."], None,
        _BASE_DOC + ["y (:obj:`ndarray`): 1D numpy array of y values"]),
    "ImageDataReturn": _doc(
        ["Hyperspectral data object returned by .getIxarData() for 3D image datablocks."], None,
        _BASE_DOC + _MAP_XY + ["spectra (:obj:`ndarray`):   3D numpy array of spectral maps",
                               (36, "dataObject.spectra[row][column][x]")]),
    "ImageTRCDataReturn": _doc(
        ["Map(s) of a single spectral feature/integral/calculation returned by",
         ".getIxarData() for 3D image TRC datablocks."], None,
        _BASE_DOC + _MAP_XY + ["labels (:obj:`list` of :obj:`str`):      List of trace block names",
                               "traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with",
                               (49, "same index as labels:"), (49, "dataObject.traces[:,:,index]")]),
    "TimeResolvedDataReturn": _doc(
        ["Time-resolved spectra data object returned by .getIxarData() for 3D-TRS datablocks."],
        ["Z Axis units are available from dataObject.parameters['ZTX']"],
        _BASE_DOC + ["z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates",
                     "spectra (:obj:`ndarray`):   2D numpy array of spectral time series",
                     (36, "dataObject.spectra[z][x]")]),
    "TimeResolvedTRCDataReturn": _doc(
        ["Time-resolved trace data object returned by .getIxarData() for 3D-TRS TRC datablocks."],
        ["x axis units are available from dataObject.parameters['DXU']"],
        _TRC_X + ["labels (:obj:`list` of :obj:`str`):      List of trace names",
                  "traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with",
                  (49, "same index as labels:"), (49, "dataObject.traces[index]")]),
    "MultiRegionDataReturn": _doc(
        _MR_SUMMARY, _MR_NOTE,
        _BASE_DOC + _MR_REGION + [
            "regions[0].start_time (ndarray):   timestamps of spectrum acquisition array",
            "regions[0].spectra (ndarray):   2D numpy array of of spectra in the region:", _LAST_ROW]),
    "Region": _doc(
        ["Returned as part of a :class:MultiRegionDataReturn."], None,
        ["title (str):        description of region",
         "mapX (ndarray):     1D numpy array of X map coordinates",
         "mapY (ndarray):     1D numpy array of Y map coordinates",
         "start_time (ndarray):  timestamps of spectrum acquisition array",
         "spectra (ndarray):  2D numpy array of of spectra in the region:", (28, "spectra[row]")]),
    "MultiRegionTRCDataReturn": _doc(
        _MR_SUMMARY, _MR_NOTE,
        _BASE_DOC + ["labels (:obj:`list` of :obj:`str`):      List of trace block names"] + _MR_REGION + [
            "regions[0].spectra (ndarray):   2D numpy array of traces in the region:", _LAST_ROW,
            (40, "As with :class:ImageTRCDataReturn, the index of the"),
            (40, "resulting array corresponds to the .labels index")]),
}


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_docstring(name):
    assert getattr(ixarkit, name).__doc__ == DOCS[name]


def test_docstring_literal_form():
    assert ixarkit.SingleDataReturn.__doc__ == (
        "\n    Single spectrum data object returned by .getIxarData() for 2D datablocks.\n\n    Attributes:\n"
        + "".join("        %s\n" % s for s in _BASE_DOC)
        + "        y (:obj:`ndarray`): 1D numpy array of y values\n    ")
    assert ixarkit.Region.__doc__.endswith(
        "in the region:\n                            spectra[row]\n    ")


# --- pickling -----------------------------------------------------------------

@pytest.mark.parametrize("obj", all_results(), ids=lambda o: type(o).__name__)
def test_pickle_round_trip(obj):
    copy = pickle.loads(pickle.dumps(obj))
    assert type(copy) is type(obj)
    assert vars(copy) == vars(obj) and list(vars(copy)) == list(vars(obj))


def test_pickle_multiregion_with_regions():
    regions = [ixarkit.Region("R%d" % i, [float(i)], [0.0], [1.5], [[i]]) for i in range(2)]
    r = ixarkit.MultiRegionDataReturn(regions=regions, **base_kw())
    copy = pickle.loads(pickle.dumps(r))
    assert [repr(g) for g in copy.regions] == ["R0", "R1"]
    assert [vars(g) for g in copy.regions] == [vars(g) for g in regions]
