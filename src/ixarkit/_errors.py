"""The errors of the handle API: a damaged data set names the file and
itself; the reader's other verdicts on a file it cannot read come back as
exceptions of their own type whose messages name the source."""


class DamagedDataError(ValueError):
    """A data set that its file, damaged, cannot give: the message names the
    data set (``key``), the file (``source``: its path, or the name or type of
    the file object) and then what is damaged (``reason``); the reader's own
    ValueError is the ``__cause__``, whose ``failure`` it keeps."""

    def __init__(self, key, error, source=None):
        self.key, self.reason, self.source = tuple(key), str(error), source
        self.failure = getattr(error, "failure", "damaged")
        super().__init__(f"{' '.join(self.key)}{' in ' + source if source else ''}: {self.reason}")


def _naming(e, source, key=None):
    """The reader's exception e, of a file it cannot read, as an exception of
    the same type whose message names the source and the data set (``key``,
    None while the file is opened), with e's ``failure`` and e as its
    ``__cause__``; None for exceptions that are not the reader's verdict on a
    file (no ``failure``: a missing file, memory) or that cannot be remade."""
    failure = getattr(e, "failure", None)
    if failure is None:
        return None
    if type(e) is ValueError and key is not None:
        return DamagedDataError(key, e, source)
    where = f"{' '.join(key)} in {source}" if key else source
    try:
        if isinstance(e, UnicodeDecodeError):
            named = UnicodeDecodeError(e.encoding, e.object, e.start, e.end, f"{e.reason} ({where})")
        elif isinstance(e, OSError):
            named = type(e)(e.errno, f"{e.strerror} ({where})")
        elif isinstance(e, KeyError):
            named = KeyError(f"{where}: no {e.args[0]!r} where the file needs one" if e.args else where)
        else:
            named = type(e)(f"{where}: {e}")
    except Exception:  # a type that takes other arguments: left as it is
        return None
    named.failure, named.key, named.source = failure, key, source
    return named


def _describe(source):
    """How messages name a source: its path, or the name or type of a file object."""
    if isinstance(source, str) or hasattr(source, "__fspath__"):
        return repr(source)
    name = getattr(source, "name", None)
    if isinstance(name, (str, bytes)) and name:
        return f"<{type(source).__name__} {name!r}>"
    return f"<{type(source).__name__}>"
