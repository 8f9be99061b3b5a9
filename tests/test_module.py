"""Import surface of ixarkit: names, docstrings, help text, paramDict."""

import sys
import types

import pytest

import ixarkit

PUBLIC_NAMES = [
    "BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
    "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
    "Region", "MultiRegionTRCDataReturn",
    "help", "listContents", "isIxarFile", "getIxarData", "paramDict",
]
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

PARAM_DICT = [
    ("SNM", "Sample Name"), ("SFM", "Sample Form"), ("CNM", "Operator Name"),
    ("EXP", "Experiment File"), ("XPP", "Experiment Path"),
    ("APT", "Aperture Setting"), ("BMS", "Beamsplitter Setting"),
    ("LWN", "Laser Wavenumber"), ("SRT", "Start Time"), ("DAT", "Date"),
    ("TIM", "Local Time"), ("NPT", "Number of Data Points"),
    ("FXV", "First X Value"), ("LXV", "Last X Value"),
    ("MNY", "Minimum Y Value"), ("MXY", "Maximum Y Value"), ("DXU", "X Units"),
    ("HFW", "High Frequency Limit"), ("LFW", "Low Frequency Limit"),
    ("HPF", "High Pass Filter"), ("LPF", "Low Pass Filter"),
    ("NSS", "Number of Sample Scans"), ("NSR", "Number of Reference Scans"),
    ("RES", "Resolution"), ("INS", "Instrument Type"),
    ("AN1", "Analog Signal 1"), ("AN2", "Analog Signal 2"),
    ("APF", "Apodization Function"), ("HFQ", "High Frequency Cutofff (FT)"),
    ("LFQ", "Low Frequency Cutoff (FT)"), ("PHZ", "Phase Correction Mode"),
    ("PHR", "Phase Resolution"), ("ZFF", "Zero Filling Factor"),
    ("ZTX", "Z Axis Label"),
]


def test_public_names_in_binding_order():
    names = [n for n in vars(ixarkit) if not n.startswith("_")]
    assert names == PUBLIC_NAMES


def test_no_module_docstring_and_numpy_imported():
    assert ixarkit.__doc__ is None
    assert "numpy" in sys.modules


@pytest.mark.parametrize("name", ["readInt", "readShort", "readInt64", "readFloat",
                                  "readDouble", "_read_directory", "_decode_blockType"])
def test_internal_helpers_not_exposed(name):
    assert not hasattr(ixarkit, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_of_the_module(name):
    fn = getattr(ixarkit, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__module__ == "ixarkit"
    assert fn.__doc__ == DOCSTRINGS[name]


@pytest.mark.parametrize("name", PUBLIC_NAMES[:9])
def test_classes_belong_to_the_module(name):
    cls = getattr(ixarkit, name)
    assert isinstance(cls, type)
    assert cls.__module__ == "ixarkit"


def test_help_prints_guide(capsys):
    assert ixarkit.help() is None
    out, err = capsys.readouterr()
    assert out == HELP_TEXT
    assert len(out.splitlines()) == 8
    assert err == ""


def test_help_takes_no_argument():
    with pytest.raises(TypeError):
        ixarkit.help(1)


@pytest.mark.parametrize("name", ["isIxarFile", "listContents"])
@pytest.mark.parametrize("args,kwargs", [
    ((), {}),
    (("a", "b"), {}),
    ((), {"path": "a"}),
    (("a",), {"path": "a"}),
])
def test_one_positional_argument_only(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ixarkit, name)(*args, **kwargs)


def test_param_dict():
    assert isinstance(ixarkit.paramDict, dict)
    assert list(ixarkit.paramDict.items()) == PARAM_DICT
    assert ixarkit.paramDict["NPT"] == "Number of Data Points"
    assert "Number of Data Points" not in ixarkit.paramDict
