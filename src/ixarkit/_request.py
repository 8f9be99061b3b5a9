"""getIxarData's request, ``(type, dimensions, derivative)``: each word
upper-cased and checked before the file is touched, with the literal
function's messages (built with ``+``, whatever objects the words are)."""

_TYPES = "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC"


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
        raise _refused("Invalid deriv type: " + v + ".  Please select from the following: 1DER, 2DER, NDER or NONE")
    return (t, d, v, is3D) + types[t] + (derivatives[v],)


def problem(request):
    """What getIxarData says of a request (three words, upper case) that no
    file can hold, or None for one that names a data set a file may hold."""
    types = dict.fromkeys(_TYPES.split(", "), ())
    try:
        check(request, types, dict.fromkeys(("1DER", "2DER", "NDER", "NONE"), 0))
    except ValueError as e:
        return str(e)
    return None


def missing(t, d, v):
    """The error for a request that names no data set of the file."""
    return _refused("No data block exists in the file for: " + t + " " + d + " " + v, "no-data-set")
