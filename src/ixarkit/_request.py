"""A request of a data set, ``(type, dimensions, derivative)``: getIxarData
upper-cases each word and checks them before the file is touched, with its
own messages (built with ``+``, whatever objects the words are). Our API
names a data set the same way everywhere (``f[...]``, ``in``, the xarray
engine's ``datablock=``, the command line, the viewer): a tuple (or list) of
the three words as listContents gives them, or one string of them,
separated by blanks or commas ("AB 3D NONE", "ab,3d,none"); any case; NDER
and 3DER name the same derivative (see named)."""

from . import _core

# The words of a request and their codes, as the reader's tables give them
# (in their order): a dict's lookups follow the interpreter's rules for
# whatever objects a caller passes.
_TYPE_CODES = {name: (data, sample) for name, data, sample in _core.DATA_TYPES}
_DERIVATIVE_CODES = dict(_core.DERIVATIVES)
_TYPES = ", ".join(_TYPE_CODES)
_DERIVATIVES = ", ".join(list(_DERIVATIVE_CODES)[1:]) + " or " + next(iter(_DERIVATIVE_CODES))  # 1DER, 2DER, NDER or NONE


def _refused(message, failure="request"):
    e = ValueError(message)
    e.failure = failure
    return e


def check(datablock):
    """(type, dimensions, derivative, whether 3D, data code, sample code,
    derivative code) of a request."""
    t, d, v = datablock[0].upper(), datablock[1].upper(), datablock[2].upper()
    if d == "2D":
        is3D = False
    elif d == "3D":
        is3D = True
    else:
        raise _refused("Incorrect dimensions: " + d + ". Dimensions need to be either 2D or 3D")
    if t not in _TYPE_CODES:
        raise _refused("Invalid data block type: " + t + ". Please enter a valid entry from the following: " + _TYPES)
    if v not in _DERIVATIVE_CODES:
        raise _refused("Invalid deriv type: " + v + ".  Please select from the following: " + _DERIVATIVES)
    return (t, d, v, is3D) + _TYPE_CODES[t] + (_DERIVATIVE_CODES[v],)


def problem(request):
    """What getIxarData says of a request (three words, upper case) that no
    file can hold, or None for one that names a data set a file may hold."""
    try:
        check(request)
    except ValueError as e:
        return str(e)
    return None


def missing(t, d, v):
    """The error for a request that names no data set of the file."""
    return _refused("No data block exists in the file for: " + t + " " + d + " " + v, "no-data-set")


_ALIASES = {"3DER": "NDER"}


def words(text):
    """The words of a data set's name written as one string."""
    return text.replace(",", " ").split()


def named(key):
    """The request a key of our API names, as getIxarData takes it (upper
    case, NDER), or None when the key names no data set in either form."""
    if isinstance(key, str):
        key = words(key)
    if not isinstance(key, (tuple, list)) or len(key) != 3:
        return None
    t, d, v = key  # spelled out: a handle asks this of every data set it lists
    if not (isinstance(t, str) and isinstance(d, str) and isinstance(v, str)):
        return None
    v = v.strip().upper()
    return t.strip().upper(), d.strip().upper(), _ALIASES.get(v, v)
