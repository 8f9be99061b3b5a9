# ixarkit: reads IXAR spectrometer data files into numpy arrays.
#
# The native module does the reading; the result classes are plain Python.
# The public names are bound here in the order callers see them.
from . import _core
from ._results import *  # the result classes, in the order of their __all__
from . import _errors, _help, _reader  # noqa: E402 - what the native module is handed

_core.configure(help=_help.show, is_ixar_file=_reader.is_ixar_file, list_contents=_reader.list_contents,
                get_ixar_data=_reader.get_ixar_data, fail=_errors.fail, reports=_errors.READ_REPORTS)

help = _core.help
listContents = _core.listContents
isIxarFile = _core.isIxarFile
getIxarData = _core.getIxarData

paramDict = {
    "SNM": "Sample Name",
    "SFM": "Sample Form",
    "CNM": "Operator Name",
    "EXP": "Experiment File",
    "XPP": "Experiment Path",
    "APT": "Aperture Setting",
    "BMS": "Beamsplitter Setting",
    "LWN": "Laser Wavenumber",
    "SRT": "Start Time",
    "DAT": "Date",
    "TIM": "Local Time",
    "NPT": "Number of Data Points",
    "FXV": "First X Value",
    "LXV": "Last X Value",
    "MNY": "Minimum Y Value",
    "MXY": "Maximum Y Value",
    "DXU": "X Units",
    "HFW": "High Frequency Limit",
    "LFW": "Low Frequency Limit",
    "HPF": "High Pass Filter",
    "LPF": "Low Pass Filter",
    "NSS": "Number of Sample Scans",
    "NSR": "Number of Reference Scans",
    "RES": "Resolution",
    "INS": "Instrument Type",
    "AN1": "Analog Signal 1",
    "AN2": "Analog Signal 2",
    "APF": "Apodization Function",
    "HFQ": "High Frequency Cutofff (FT)",
    "LFQ": "Low Frequency Cutoff (FT)",
    "PHZ": "Phase Correction Mode",
    "PHR": "Phase Resolution",
    "ZFF": "Zero Filling Factor",
    "ZTX": "Z Axis Label",
}

from ._version import __version__

# Our additions: a handle that opens a file (or bytes, or a file object)
# once and reads only what is selected.
from ._handle import DataBlock, IxarFile, open  # noqa: E402,A004
