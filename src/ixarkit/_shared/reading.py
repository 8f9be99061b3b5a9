"""Reading an input file for the command line: its checks, listing and
reads, every failure a CliError with its exit code and one line of words.

The reader reports each read that ran past the end of a cut file as an
ignored exception; _FailedReads collects those reports, which become that
one line (``--verbose`` shows them). Failures are told apart by their types
and their ``failure`` attribute (not-ixar, request, no-data-set, damaged),
never by their messages.
"""

import argparse
import difflib
import errno
import os
import struct

import ixarkit
from ixarkit._request import named
from ixarkit._errors import READ_REPORTS
from ixarkit._handle import DamagedDataError

# Exit codes, as the README lists them.
EXIT_OK = 0
EXIT_DAMAGED = 1       # the file could not be read as what it claims to be
EXIT_USAGE = 2         # bad command line, or an output that cannot be written
EXIT_NO_FILE = 3       # missing or unreadable file
EXIT_NOT_IXAR = 4      # not an IXAR file
EXIT_NO_DATA_SET = 5   # the file holds no such data set


def _request(words):
    """The request of a data set named by the command line's words (see ixarkit._request.named), or None."""
    return named(words[0] if len(words) == 1 else list(words))


class Parser(argparse.ArgumentParser):
    """An argument parser whose refusal of an unknown option names the
    nearest one it knows."""

    def error(self, message):
        if message.startswith("unrecognized arguments:"):
            known = [s for a in self._actions for s in a.option_strings if s.startswith("--")]
            for word in message.split(":", 1)[1].split():
                if word.startswith("--"):
                    near = difflib.get_close_matches(word.split("=")[0], known, n=1, cutoff=0.6)
                    if near:
                        message += f" (did you mean {near[0]}?)"
                        break
        super().error(message)


def check_folder(out):
    """CliError (exit 2) unless the folder an output goes in exists."""
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise CliError(f"{out}: cannot write: no such directory {folder}", EXIT_USAGE)


class CliError(Exception):
    def __init__(self, message, code):
        super().__init__(" ".join(str(message).split()))  # always one line
        self.code = code


class _FailedReads:
    """Counts the failed-read reports the reader emits during a call in
    this thread (or task): each read past the end of a file, which it
    reports with its traceback and then as an ignored exception; with
    ``show`` the reports are shown as well, else not."""

    def __init__(self, show):
        self.show = show
        self.count = 0

    def __enter__(self):
        self._token = READ_REPORTS.set(self._counted)
        return self

    def __exit__(self, *exc):
        READ_REPORTS.reset(self._token)
        return False

    def _counted(self):
        self.count += 1
        return self.show


class Source:
    """One input file: its checks, listing and reads, with failures as CliError."""

    def __init__(self, path, verbose=False):
        self.path, self.verbose = path, verbose
        try:
            with open(path, "rb") as fh:
                self.size = os.fstat(fh.fileno()).st_size
        except OSError as e:
            raise CliError(f"{path}: {e.strerror or e}", EXIT_NO_FILE) from None
        if self.size < 4:
            what = "empty" if self.size == 0 else f"{self.size} bytes, shorter than an IXAR signature"
            raise CliError(f"{path}: not an IXAR file ({what})", EXIT_NOT_IXAR)
        self._listing = None

    @classmethod
    def described(cls, path, size):
        """A Source that words the failures of a file read elsewhere, named as
        ``path`` and of ``size`` bytes, without opening it."""
        src = cls.__new__(cls)
        src.path, src.size, src.verbose, src._listing = path, size, False, None
        return src

    def _call(self, call, *args, name=""):
        with _FailedReads(self.verbose) as reads:
            try:
                result = call(self.path, *args)
            except Exception as e:
                raise self.error(e, name) from None
        return result, reads.count

    def error(self, e, name=""):
        """The CliError of the reader's exception e, of data set ``name``
        (its words) or of the file: one line that names the file."""
        where = f"{self.path}: {name + ': ' if name else ''}"
        damaged = f"{self.path}: damaged file: {name + ': ' if name else ''}"
        if not isinstance(e, DamagedDataError) and getattr(e, "source", None) and e.__cause__ is not None:
            e = e.__cause__  # the reader's own words, from a handle that named the file: this line names it
        if isinstance(e, DamagedDataError):  # a read of a data set the file lists, through a handle
            return CliError(f"{self.path}: damaged file: {' '.join(e.key)}: {e.reason}", EXIT_DAMAGED)
        if isinstance(e, MemoryError) and getattr(e, "claims", None):  # sizes no memory holds
            return CliError(f"{damaged}{e.claims}", EXIT_DAMAGED)
        if isinstance(e, OSError):
            if e.errno in (errno.ENOENT, errno.EACCES, errno.EPERM, errno.EISDIR):
                return CliError(f"{where}{e.strerror or e}", EXIT_NO_FILE)
            return CliError(f"{damaged}an offset points outside the file ({e.strerror or e})", EXIT_DAMAGED)
        if isinstance(e, UnicodeDecodeError):
            return CliError(f"{damaged}text that is not {e.encoding}: {e.object[e.start:e.end + 8]!r}",
                            EXIT_DAMAGED)
        if isinstance(e, ValueError):
            failure = getattr(e, "failure", None)
            if failure == "not-ixar":
                return CliError(f"{self.path}: not an IXAR file", EXIT_NOT_IXAR)
            if failure == "request":  # a type, dimension or derivative no file holds
                return CliError(f"{where}{e}", EXIT_NO_DATA_SET)
            if failure == "no-data-set":
                missing = self.absent(name)
                missing.absent = True
                return missing
            return CliError(f"{damaged}{e}", EXIT_DAMAGED)
        if isinstance(e, KeyError):
            return CliError(f"{damaged}required entry {e.args[0]!r} is missing", EXIT_DAMAGED)
        if isinstance(e, (IndexError, ZeroDivisionError)):
            return CliError(f"{damaged}the map size does not match its points ({type(e).__name__}: {e})",
                            EXIT_DAMAGED)
        if isinstance(e, struct.error):
            return CliError(f"{damaged}cut short at byte {self.size}", EXIT_DAMAGED)
        return CliError(f"{damaged}{type(e).__name__}: {e}", EXIT_DAMAGED)

    def absent(self, name):
        """The CliError of a data set the file does not hold, naming those it holds."""
        try:
            held = ", ".join(" ".join(k) for k in self.listing()[0]) or "none"
        except CliError:
            held = "nothing that can be listed"
        return CliError(f"{self.path}: no data set {name} in the file, which holds {held}", EXIT_NO_DATA_SET)

    def listing(self):
        """(data sets, None or the CliError of a damaged directory)."""
        if self._listing is None:
            contents, failed = self._call(ixarkit.listContents)
            problem = None
            if failed:
                problem = (f"header or directory cut short at byte {self.size} (end of file); "
                           f"{failed} read{'s' if failed != 1 else ''} failed")
            self._listing = contents, problem and CliError(f"{self.path}: damaged file: {problem}", EXIT_DAMAGED)
        return self._listing

    def read(self, request):
        """The data set `request` (upper case), or CliError."""
        name = " ".join(request)
        try:
            result, failed = self._call(ixarkit.getIxarData, request, name=name)
        except CliError as e:
            if not getattr(e, "absent", False):
                raise
            # Absent, or listed and not there: the second is damage.
            contents, damaged = self.listing()
            listed = {named(c) for c in contents}
            if damaged:
                raise damaged from None
            if tuple(request) in listed:
                raise CliError(f"{self.path}: damaged file: {name} is listed in the directory but its "
                               f"data blocks are missing or cut short (the file ends at byte {self.size})",
                               EXIT_DAMAGED) from None
            raise
        if failed:
            raise self.cut_reads(name, failed)
        return result

    def cut_reads(self, name, count):
        """The CliError of a read of data set ``name`` whose ``count`` reads ran past the end of the file."""
        return CliError(f"{self.path}: damaged file: {name}: {count} read{'s' if count != 1 else ''} "
                        f"past the end of the file (byte {self.size}) came back as 0", EXIT_DAMAGED)
