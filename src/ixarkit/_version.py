# The package version: the one place it is written. pyproject.toml reads it
# from here for the distribution's metadata; ixarkit.__version__ and
# `ixarkit --version` report it.
__version__ = "0.1.0"
