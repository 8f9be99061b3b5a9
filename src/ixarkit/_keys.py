"""How a data set is named, the same everywhere (``f[...]``, ``in``, the
xarray engine's ``datablock=``, the command line, the viewer): a tuple (or
list) of the three words as listContents gives them, or one string of them,
separated by blanks or commas ("AB 3D NONE", "ab,3d,none"); any case;
NDER and 3DER name the same derivative."""


def words(text):
    """The words of a data set's name written as one string."""
    return text.replace(",", " ").split()


def request(key):
    """A key as getIxarData takes it (upper case, NDER), or None when the
    key names no data set in either form."""
    if isinstance(key, str):
        key = words(key)
    if not isinstance(key, (tuple, list)) or len(key) != 3:
        return None
    t, d, v = key  # spelled out: a handle asks this of every data set it lists
    if not (isinstance(t, str) and isinstance(d, str) and isinstance(v, str)):
        return None
    v = v.strip().upper()
    return t.strip().upper(), d.strip().upper(), "NDER" if v == "3DER" else v
