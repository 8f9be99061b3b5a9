"""getIxarData's request, ``(type, dimensions, derivative)``: each word
upper-cased and checked before the file is touched, with the literal
function's messages (built with ``+``, whatever objects the words are)."""

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
