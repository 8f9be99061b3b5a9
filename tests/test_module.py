"""Import surface of ixarkit (names, functions, help, paramDict) and the result classes."""

import pickle
import sys
import types

import pytest

import ixarkit

CLASSES = ["BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn", "TimeResolvedDataReturn",
           "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region", "MultiRegionTRCDataReturn"]
FUNCTIONS = ["help", "listContents", "isIxarFile", "getIxarData"]
# Own constructor parameters of each subclass, in binding order.
OWN = {"BaseDataReturn": [], "SingleDataReturn": ["y"], "ImageDataReturn": ["mapX", "mapY", "spectra"],
       "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"], "TimeResolvedDataReturn": ["z", "spectra"],
       "TimeResolvedTRCDataReturn": ["labels", "traces"], "MultiRegionDataReturn": ["regions"],
       "MultiRegionTRCDataReturn": ["labels", "regions"]}
BASE_ATTRS = ["dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"]
REGION_ATTRS = ["title", "mapX", "mapY", "start_time", "spectra"]
BASE = dict(dimension="3D", dataType="AB", deriv="NONE", parameters={"NPT": 3}, x=[1.0, 2.0, 3.0], minY=-0.5, maxY=2.5)


def make(name, **kw):
    if name == "Region":
        return ixarkit.Region("R", [0.0], [1.0], None, [[1.0]])
    return getattr(ixarkit, name)(**{p: [p] for p in OWN[name]}, **(kw or dict(BASE)))


def test_import_surface_and_help(capsys):
    assert [n for n in vars(ixarkit) if not n.startswith("_")] == CLASSES + FUNCTIONS + ["paramDict"]
    assert ixarkit.__doc__ is None and "numpy" in sys.modules
    assert all(len(k) == 3 and v for k, v in ixarkit.paramDict.items()) and "NPT" in ixarkit.paramDict
    for fn in map(vars(ixarkit).get, FUNCTIONS):
        assert isinstance(fn, types.BuiltinFunctionType) and fn.__module__ == "ixarkit" and fn.__doc__.strip()
    assert ixarkit.help() is None
    out, err = capsys.readouterr()
    assert err == "" and all(f"{name}('path'" in out for name in FUNCTIONS[1:])
    pytest.raises(TypeError, ixarkit.help, 1)


@pytest.mark.parametrize("name", ["isIxarFile", "listContents"])
@pytest.mark.parametrize("args,kwargs", [((), {}), (("a", "b"), {}), ((), {"path": "a"}), (("a",), {"path": "a"})])
def test_one_positional_argument_only(name, args, kwargs):
    pytest.raises(TypeError, getattr(ixarkit, name), *args, **kwargs)


@pytest.mark.parametrize("name", CLASSES)
def test_result_class(name, capsys):
    kw, cls = dict(BASE), getattr(ixarkit, name)
    r, attrs = make(name, **kw), REGION_ATTRS if name == "Region" else OWN[name] + BASE_ATTRS
    assert list(vars(r)) == attrs and cls.__module__ == "ixarkit"
    assert all(f"\n        {a} (" in cls.__doc__ for a in attrs)   # each attribute documented
    assert cls.__bases__ == ((ixarkit.BaseDataReturn,) if OWN.get(name) else (object,))
    copy = pickle.loads(pickle.dumps(r))
    assert type(copy) is cls and vars(copy) == vars(r) and list(vars(copy)) == attrs
    methods = [k for k, v in vars(cls).items() if callable(v)]
    if name == "Region":
        assert repr(r) == str(r) == "R" and methods == ["__init__", "__repr__"] and not hasattr(r, "description")
        r.title = "renamed"
        assert str(r) == "renamed"
        return
    assert methods == (["__init__", "__str__", "__repr__"] if name == "BaseDataReturn" else ["__init__"])
    # kept as given, not copied; the description: the base text and a line per own attribute
    assert all(getattr(r, k) is v for k, v in zip(BASE_ATTRS, kw.values())) and all(getattr(r, k) == [k] for k in OWN[name])
    base, text = make("BaseDataReturn").description, r.description
    assert text == str(r) == repr(r) and text.startswith(base) and "(.x)" in base
    assert all(f"(.{a})" in text[len(base):] for a in OWN[name])
    r.x, r.note, r.parameters["NPT"] = [9.0], "added", 1    # fixed at construction
    print(r)
    assert capsys.readouterr().out == text + "\n"
    r.description = "something else"
    assert str(r) == repr(r) == "something else" and r.note == "added"


def test_positional_arguments():
    a = ixarkit.BaseDataReturn("2D", "TR", "1DER", {}, [0.0], 0.0, 1.0)
    assert vars(a) == vars(ixarkit.BaseDataReturn(dimension="2D", dataType="TR", deriv="1DER", parameters={}, x=[0.0],
                                                  minY=0.0, maxY=1.0))
    r = ixarkit.ImageTRCDataReturn("mx", "my", ["T1"], "tr", **BASE)
    assert (r.mapX, r.mapY, r.labels, r.traces) == ("mx", "my", ["T1"], "tr")
    assert list(vars(ixarkit.Region("t", [0.0], mapY=[0.0], start_time=None, spectra=[]))) == REGION_ATTRS


@pytest.mark.parametrize("name, args, kwds", [
    ("SingleDataReturn", (), {k: v for k, v in BASE.items() if k != "maxY"}), ("SingleDataReturn", (), dict(BASE, y=[], z=[])),
    ("SingleDataReturn", (), dict(BASE, y=[], derivative="NONE")), ("SingleDataReturn", ([],) + tuple(BASE.values()), {}),
    ("TimeResolvedDataReturn", ([], []), dict(BASE, z=[])), ("MultiRegionDataReturn", (), BASE),
    ("BaseDataReturn", (), dict(BASE, y=[])), ("BaseDataReturn", tuple(BASE.values()) + (0,), {}), ("Region", ("t", [], [], None), {})])
def test_bad_arguments_raise_type_error(name, args, kwds):
    pytest.raises(TypeError, getattr(ixarkit, name), *args, **kwds)
