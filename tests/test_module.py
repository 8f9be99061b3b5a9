"""Import surface of ixarkit (names, functions, help text, paramDict) and the
result classes (construction, attributes, descriptions, docstrings, pickling)."""

import pickle
import sys
import types

import pytest

import ixarkit

CLASSES = ["BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
           "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
           "Region", "MultiRegionTRCDataReturn"]
FUNCTIONS = ["help", "listContents", "isIxarFile", "getIxarData"]

DOCSTRINGS = {
    "help": "\n    Print a help message containing the available functions.\n    ",
    "listContents": (
        "\n    This function returns a list of datablocks for a given file.\n"
        "    Each datablock is identified by blocktype, dimensions and derivative.\n\n"
        "    Args:\n        path (path): Path to file\n\n"
        "    Returns:\n        list of tuple(str, str, str): List containing a "
        "(datablocktype, dimensions, derivative) tuple\n"
        "        for each datablock in the file\n    "),
    "isIxarFile": (
        "\n    Tests if the given file is an IXAR data file.\n\n"
        "    Args:\n        path (path): Path to file\n\n"
        "    Returns:\n        bool: True if an IXAR file\n    "),
    "getIxarData": (
        "\n    This function returns a :obj:`DataReturn` object containing the data and\n"
        "    data parameters for    the specified datablock in the given file.\n\n"
        "    Args:\n        path (path):       Path to file\n"
        "        datablock (tuple of str): tuple(datablocktype, dimensions, derivative)\n"
        "                                  as returned by .listContents()\n\n"
        "    Returns:\n        :obj:`DataReturn`: Object containing the requested data "
        "and associated\n"
        "        parameters. Data structure is as specified in data.description and\n"
        "        can be one of the three types described in :class:`DataReturn`\n    "),
}

HELP_TEXT = (
    "This library contains the following functions:\n"
    "\tlistContents('path') :    This function returns a list containing the data "
    "blocks, their dimensions and derivative type\n"
    "\tisIxarFile('path'):    This function returns true if the file is an Ixar "
    "file, false otherwise\n"
    "\tgetIxarData('path', ('data block type', 'dimensions', 'derivative')):\n"
    "\t\tThis function returns a Python object that contains a string parameter "
    "called description (ie: returnedObject.description)\n"
    "\t\tDescription contains the details of what the Python object contains based "
    "on the type of data block requested.\n"
    "\n"
    " For more detailed descriptions please consult the documentation.\n"
)

PARAM_DICT = (
    "SNM Sample Name|SFM Sample Form|CNM Operator Name|EXP Experiment File|XPP Experiment Path|"
    "APT Aperture Setting|BMS Beamsplitter Setting|LWN Laser Wavenumber|SRT Start Time|DAT Date|"
    "TIM Local Time|NPT Number of Data Points|FXV First X Value|LXV Last X Value|"
    "MNY Minimum Y Value|MXY Maximum Y Value|DXU X Units|HFW High Frequency Limit|"
    "LFW Low Frequency Limit|HPF High Pass Filter|LPF Low Pass Filter|NSS Number of Sample Scans|"
    "NSR Number of Reference Scans|RES Resolution|INS Instrument Type|AN1 Analog Signal 1|"
    "AN2 Analog Signal 2|APF Apodization Function|HFQ High Frequency Cutofff (FT)|"
    "LFQ Low Frequency Cutoff (FT)|PHZ Phase Correction Mode|PHR Phase Resolution|"
    "ZFF Zero Filling Factor|ZTX Z Axis Label")


def test_import_surface():
    assert [n for n in vars(ixarkit) if not n.startswith("_")] == CLASSES + FUNCTIONS + [
        "paramDict", "DataBlock", "IxarFile", "open"]  # the documented names, then the handle API
    assert ixarkit.__doc__ is None and "numpy" in sys.modules
    assert not any(hasattr(ixarkit, n) for n in ("_read_directory", "_decode_blockType"))
    assert list(ixarkit.paramDict.items()) == [(p[:3], p[4:]) for p in PARAM_DICT.split("|")]
    for name in FUNCTIONS:
        fn = getattr(ixarkit, name)
        assert isinstance(fn, types.BuiltinFunctionType) and fn.__module__ == "ixarkit"
        assert fn.__doc__ == DOCSTRINGS[name]


def test_help(capsys):
    assert ixarkit.help() is None
    assert capsys.readouterr() == (HELP_TEXT, "")
    with pytest.raises(TypeError):
        ixarkit.help(1)


@pytest.mark.parametrize("name", ["isIxarFile", "listContents"])
@pytest.mark.parametrize("args,kwargs", [((), {}), (("a", "b"), {}), ((), {"path": "a"}),
                                         (("a",), {"path": "a"})])
def test_one_positional_argument_only(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ixarkit, name)(*args, **kwargs)


# ------------------------------------------------------------- result classes

# Own constructor parameters of each subclass, in binding order.
OWN = {"SingleDataReturn": ["y"], "ImageDataReturn": ["mapX", "mapY", "spectra"],
       "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"],
       "TimeResolvedDataReturn": ["z", "spectra"], "TimeResolvedTRCDataReturn": ["labels", "traces"],
       "MultiRegionDataReturn": ["regions"], "MultiRegionTRCDataReturn": ["labels", "regions"]}
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
    "BaseDataReturn": "",
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


def make(name):
    return getattr(ixarkit, name)(**{p: [p] for p in OWN.get(name, [])}, **base_kw())


@pytest.mark.parametrize("name", ADDITIONS)
def test_description_attributes_and_layout(name):
    own, kw = {p: [p] for p in OWN.get(name, [])}, base_kw()
    r = getattr(ixarkit, name)(**own, **kw)
    assert r.description == str(r) == repr(r) == BASE_TEXT + ADDITIONS[name]
    assert list(vars(r)) == list(own) + BASE_ATTRS
    # kept as given, not copied
    assert all(getattr(r, k) is v for k, v in [*own.items(), *zip(BASE_ATTRS, kw.values())])
    cls = type(r)
    assert cls.__module__ == "ixarkit" and cls.__bases__ == (
        (object,) if name == "BaseDataReturn" else (ixarkit.BaseDataReturn,))
    assert [k for k, v in vars(cls).items() if callable(v)] == (
        ["__init__", "__str__", "__repr__"] if name == "BaseDataReturn" else ["__init__"])


def test_description_fixed_at_construction_attributes_free(capsys):
    r = make("TimeResolvedDataReturn")
    r.x, r.note, r.y = [9.0], "added", None
    r.parameters["NPT"] = 1
    print(r)
    assert capsys.readouterr().out == BASE_TEXT + ADDITIONS["TimeResolvedDataReturn"] + "\n"
    r.description = "something else"
    assert str(r) == repr(r) == "something else" and (r.note, r.y) == ("added", None)


def test_positional_arguments():
    a = ixarkit.BaseDataReturn("2D", "TR", "1DER", {}, [0.0], 0.0, 1.0)
    b = ixarkit.BaseDataReturn(dimension="2D", dataType="TR", deriv="1DER", parameters={}, x=[0.0],
                               minY=0.0, maxY=1.0)
    assert vars(a) == vars(b) and list(vars(a)) == BASE_ATTRS
    r = ixarkit.ImageTRCDataReturn("mx", "my", ["T1"], "tr", **base_kw())
    assert (r.mapX, r.mapY, r.labels, r.traces) == ("mx", "my", ["T1"], "tr")


def test_region():
    region = ixarkit.Region("Region 2: 3 x 4", [0.0], mapY=[0.0], start_time=None, spectra=[])
    assert repr(region) == str(region) == "Region 2: 3 x 4" and not hasattr(region, "description")
    assert list(vars(region)) == ["title", "mapX", "mapY", "start_time", "spectra"]
    region.title = "renamed"
    assert str(region) == "renamed"
    assert ixarkit.Region.__bases__ == (object,) and ixarkit.Region.__module__ == "ixarkit"
    assert [k for k, v in vars(ixarkit.Region).items() if callable(v)] == ["__init__", "__repr__"]


def _without(key, **more):
    kw = dict(base_kw(), **more)
    del kw[key]
    return kw


@pytest.mark.parametrize("name, args, kwds", [
    ("SingleDataReturn", (), _without(k, y=[])) for k in base_kw()] + [
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


def _doc(summary, note, attrs):
    """A class docstring; attrs items are text (8-space indent) or (indent, text)."""
    lines = [""] + ["    " + s for s in summary] + [""] + (["    " + s for s in note] + [""] if note else [])
    lines += ["    Attributes:"] + [" " * a[0] + a[1] if isinstance(a, tuple) else " " * 8 + a for a in attrs]
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
    # written out in full, as a check on the layout _doc gives the others
    "Region": ("\n    Returned as part of a :class:MultiRegionDataReturn.\n\n    Attributes:\n"
               "        title (str):        description of region\n"
               "        mapX (ndarray):     1D numpy array of X map coordinates\n"
               "        mapY (ndarray):     1D numpy array of Y map coordinates\n"
               "        start_time (ndarray):  timestamps of spectrum acquisition array\n"
               "        spectra (ndarray):  2D numpy array of of spectra in the region:\n"
               "                            spectra[row]\n    "),
    "MultiRegionTRCDataReturn": _doc(
        _MR_SUMMARY, _MR_NOTE,
        _BASE_DOC + ["labels (:obj:`list` of :obj:`str`):      List of trace block names"] + _MR_REGION + [
            "regions[0].spectra (ndarray):   2D numpy array of traces in the region:", _LAST_ROW,
            (40, "As with :class:ImageTRCDataReturn, the index of the"),
            (40, "resulting array corresponds to the .labels index")]),
}


@pytest.mark.parametrize("name", CLASSES)
def test_docstring(name):
    assert getattr(ixarkit, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("name", CLASSES)
def test_pickle_round_trip(name):
    obj = ixarkit.Region("R", [0.0], [1.0], None, [[1.0]]) if name == "Region" else make(name)
    copy = pickle.loads(pickle.dumps(obj))
    assert type(copy) is type(obj) and vars(copy) == vars(obj) and list(vars(copy)) == list(vars(obj))
