"""HyperSpy's own loader of IXAR files: a reader module in the form of
RosettaSciIO's plugins, which ``hs.load`` takes as the file format.

    import hyperspy.api as hs, ixarkit.rsciio
    signals = hs.load("map.ixar", file_format=ixarkit.rsciio)        # HyperSpy 2.4 and later
    signals = hs.load("map.ixar", reader=ixarkit.rsciio)             # earlier versions
    cube = hs.load("map.ixar", file_format=ixarkit.rsciio, datablock="AB 3D NONE", lazy=True)

Every data set of the file becomes the signal ``DataBlock.to_hyperspy()``
makes of it (in the order of the file's listing), or the one ``datablock``
names; the parameters are its original_metadata.
"""

from . import _handle, _hyperspy

format_name = "IXAR"
description = "IXAR files of a Fourier-transform spectrometer's software, through ixarkit"
full_support = False
file_extensions = ["ixar", "IXAR"]
default_extension = 0
writes = False
non_uniform_axis = True


def file_reader(filename, lazy=False, datablock=None, **kwds):
    """The signals of the file's data sets (or of the one ``datablock``
    names: "AB 3D NONE", or a tuple of the three words) as dictionaries of
    data, axes, metadata and original_metadata; ``lazy`` reads through Dask
    (``ixarkit[dask]``)."""
    if kwds:
        raise TypeError(f"the IXAR reader takes lazy and datablock, not {', '.join(sorted(kwds))}")
    with _handle.open(filename) as f:
        keys = list(f) if datablock is None else [datablock]
        return [_hyperspy.signal_dict(f[key], lazy) for key in keys]
