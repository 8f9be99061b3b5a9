"""getIxarData's request, ``(type, dimensions, derivative)``: each word
upper-cased and checked before the file is touched, with the literal
function's messages (built with ``+``, whatever objects the words are)."""

from . import _core

# The words of a request, as the reader's tables name them (in their order).
_TYPES = ", ".join(_core.DATA_TYPES)
_DERIVATIVES = ", ".join(_core.DERIVATIVES[1:]) + " or " + _core.DERIVATIVES[0]   # 1DER, 2DER, NDER or NONE


def _refused(message, failure="request"):
    e = ValueError(message)
    e.failure = failure
    return e


def check(datablock, types, derivatives):
    """(type, dimensions, derivative, whether 3D, data code, sample code,
    derivative code) of a request; ``types`` maps each type to its data and
    sample codes, ``derivatives`` each derivative to its code."""
    t, d, v = datablock[0].upper(), datablock[1].upper(), datablock[2].upper()
    if d == "2D":
        is3D = False
    elif d == "3D":
        is3D = True
    else:
        raise _refused("Incorrect dimensions: " + d + ". Dimensions need to be either 2D or 3D")
    if t not in types:
        raise _refused("Invalid data block type: " + t + ". Please enter a valid entry from the following: " + _TYPES)
    if v not in derivatives:
        raise _refused("Invalid deriv type: " + v + ".  Please select from the following: " + _DERIVATIVES)
    return (t, d, v, is3D) + types[t] + (derivatives[v],)


def problem(request):
    """What getIxarData says of a request (three words, upper case) that no
    file can hold, or None for one that names a data set a file may hold."""
    try:
        check(request, dict.fromkeys(_core.DATA_TYPES, ()), dict.fromkeys(_core.DERIVATIVES, 0))
    except ValueError as e:
        return str(e)
    return None


def missing(t, d, v):
    """The error for a request that names no data set of the file."""
    return _refused("No data block exists in the file for: " + t + " " + d + " " + v, "no-data-set")
