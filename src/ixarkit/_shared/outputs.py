"""Outputs of the command line: each written under a temporary name beside
it and put in its place once complete, so that a failure leaves neither a
part of it nor a changed file where it goes; the progress of long writes on
standard error."""

import os
import sys

from .reading import EXIT_USAGE, CliError


class Progress:
    """Progress of a long export on standard error (only for large outputs)."""

    def __init__(self, label, total, threshold=20000):
        self.label, self.total = label, total
        self.active = total >= threshold
        self.last = -1

    def update(self, done):
        if not self.active:
            return
        pct = 100 * done // max(self.total, 1)
        if pct != self.last:
            self.last = pct
            print(f"\r{self.label}: {pct}%", end="", file=sys.stderr, flush=True)

    def close(self):
        if self.active:
            print(f"\r{self.label}: done", file=sys.stderr, flush=True)

    def abandon(self):
        """Ends the progress line of a failed write, so that the failure gets a line of its own."""
        if self.active and self.last >= 0:
            print(file=sys.stderr, flush=True)


def _part(path):
    """A name beside an output (beside the file a link names) to write it under until it is complete."""
    folder, name = os.path.split(os.path.realpath(path))
    return os.path.join(folder, f".{name}.{os.getpid()}.part")


def _put_in_place(part, path):
    """Moves a complete output from its temporary name to its own, replacing what was there."""
    path = os.path.realpath(path)
    if os.path.isdir(part) and os.path.isdir(path) and not os.path.islink(path):
        import shutil
        shutil.rmtree(path)  # a Zarr store, checked to be one before anything was read
    os.replace(part, path)


def _discard(part):
    import shutil
    shutil.rmtree(part, ignore_errors=True) if os.path.isdir(part) else _remove(part)


class _create:
    """open(path, mode) for an output, written under a temporary name beside
    it and put in its place once complete: a failure leaves neither a part
    of the output nor a changed file where it goes. Failures to write are
    CliError (exit 2)."""

    def __init__(self, path, mode, **kw):
        self.path, self.part = path, _part(path)
        try:
            self.fh = open(self.part, mode.replace("w", "x"), **kw)
        except OSError as e:
            raise CliError(f"{path}: cannot write: {e.strerror or e}", EXIT_USAGE) from None

    def __enter__(self):
        return self.fh

    def __exit__(self, kind, value, tb):
        try:
            self.fh.close()
            if kind is None:
                _put_in_place(self.part, self.path)
        except OSError as e:
            kind, value = type(e), e
        if kind is not None:
            _discard(self.part)
            if issubclass(kind, OSError):
                raise CliError(f"{self.path}: cannot write: {value.strerror or value}", EXIT_USAGE) from None
        return False


def _remove(path):
    try:
        os.remove(path)
    except OSError:
        pass
