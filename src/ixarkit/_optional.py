"""Imports of what an extra installs (dask, xarray, bokeh), named when missing."""

import importlib


def need(module, extra, what):
    """Imports a module of an optional extra, or says which extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"{what} needs {module.split('.')[0]}: pip install \"ixarkit[{extra}]\"") from e
