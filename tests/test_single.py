"""getIxarData on 2D blocks: arguments, request checks, block selection,
parameter records and single spectra."""

import errno
import os
import pathlib
import struct
import time

import numpy as np
import pytest

import ixarkit
from checks import AB2 as REQ, fails as _fails, get as _get
from ixarwriter import (END, IxarFile, block_type as bt, floats, image_map, param_block, rec_double, rec_int,
                        rec_raw, rec_text, single_spectrum, spectrum_params)

Y = np.array([0.5, -1.25, 3.0, 7.5], dtype=np.float32)
KINDS = ("REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, "
         "TRARI, ABARI, AB, TRC, SSC, RSC")


def get(path, req=REQ):
    return _get(path, req)


def fails(exc, path, req=REQ):
    return _fails(exc, path, req)


def spectrum(tmp_path, y=Y, fxv=4000.0, lxv=400.0, name="s.ixar", **kw):
    return single_spectrum(y, fxv, lxv, **kw).write(tmp_path / name)


def no_block(req):
    return "No data block exists in the file for: " + " ".join(req)


def test_single_spectrum_and_request_forms(tmp_path):
    path = spectrum(tmp_path, extra_params={"SNM": "sample 1", "NSS": 32})
    for res in [get(path), ixarkit.getIxarData(path=path, datablock=REQ),
                ixarkit.getIxarData(path, datablock=("ab", "2d", "none")),
                get(path, ("Ab", "2D", "None", "ignored"))]:
        assert type(res) is ixarkit.SingleDataReturn
        assert (res.dataType, res.dimension, res.derivative) == REQ
        assert res.x.dtype == np.float64 and res.x.shape == (4,)
        assert res.y.dtype == np.float32 and res.y.tobytes() == Y.tobytes()
        assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0, "MXY": 7.5,
                                  "MNY": -1.25, "SNM": "sample 1", "NSS": 32}


# ------------------------------------------------------------------ arguments

class StrPath(str):
    pass


@pytest.mark.parametrize("args,kwargs,message", [
    ((1,), {}, "getIxarData() takes exactly 2 positional arguments (1 given)"),
    ((), {}, "getIxarData() takes exactly 2 positional arguments (0 given)"),
    ((1, REQ, 1), {}, "getIxarData() takes exactly 2 positional arguments (3 given)"),
    ((1, REQ), {"foo": 1}, "getIxarData() got an unexpected keyword argument 'foo'"),
    ((1, REQ), {"path": 1}, "getIxarData() got multiple values for keyword argument 'path'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        ixarkit.getIxarData(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("make", [lambda p: 1, os.fsencode, pathlib.Path, StrPath])
def test_path_must_be_exactly_str(tmp_path, make):
    path = make(spectrum(tmp_path))
    with pytest.raises(TypeError) as e:
        ixarkit.getIxarData(path, REQ)
    assert str(e.value) == f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})"


def test_none_path_fails_like_open():
    with pytest.raises(TypeError) as expected:
        open(None, "rb")
    with pytest.raises(TypeError) as got:
        ixarkit.getIxarData(None, REQ)
    assert str(got.value) == str(expected.value)


# ----------------------------------------------------------- request checks

@pytest.mark.parametrize("req,exc,message", [
    (("AB", "4D", "NONE"), ValueError, "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("xx", "1d", "4der"), ValueError, "Incorrect dimensions: 1D. Dimensions need to be either 2D or 3D"),
    (("xx", "2d", "4der"), ValueError,
     "Invalid data block type: XX. Please enter a valid entry from the following: " + KINDS),
    (("3D", "3D", "NONE"), ValueError,
     "Invalid data block type: 3D. Please enter a valid entry from the following: " + KINDS),
    (("ab", "2d", "3der"), ValueError,
     "Invalid deriv type: 3DER.  Please select from the following: 1DER, 2DER, NDER or NONE"),
    (("AB", "2D"), IndexError, None), (("AB", 2, "NONE"), AttributeError, None),
    (("ab", "3d", "nder"), FileNotFoundError, None),     # a valid request opens the file
])
def test_request_checked_before_file_access(tmp_path, req, exc, message):
    e = fails(exc, tmp_path / "missing.ixar", req)
    assert message is None or str(e) == message


def test_non_ixar_file(tmp_path):
    path = tmp_path / "x.bin"
    path.write_bytes(b"\x0a\x0a\xfe\xfd" + bytes(100))
    assert str(fails(ValueError, path)) == "Can't process a non-Ixar file"


# ---------------------------------------------------------- block selection

def own(tag, npt=2):
    return param_block(spectrum_params(npt, 1.0, 2.0, 0.0, 1.0) + [("TAG", tag)])


def only(word, payload):
    f = IxarFile()
    f.add(word, payload)
    return f


def with_entry(f, word, size, offset):
    f.add_entry(word, size, offset)
    return f


@pytest.mark.parametrize("make,req", [
    (lambda: only(bt(data=4), floats(Y)), REQ),                       # no own parameters
    (lambda: only(bt(param=1, data=4), own("x", 4)), REQ),            # no data
    (lambda: single_spectrum(Y, 1.0, 2.0), ("AB", "3D", "NONE")),
    (lambda: single_spectrum(Y, 1.0, 2.0), ("TR", "2D", "NONE")),
    (lambda: image_map(np.zeros((1, 2, 3)), 1.0, 3.0), REQ),
    # a later data entry at offset -1 marks the block absent
    (lambda: with_entry(single_spectrum(Y, 1.0, 2.0), bt(data=4), 4, -1), REQ)])
def test_no_data_block(tmp_path, make, req):
    assert str(fails(ValueError, make().write(tmp_path / "s.ixar"), req)) == no_block(req)


def test_worked_selection_example(tmp_path):
    f = IxarFile()
    f.add(bt(data=4), floats([1, 2]))
    f.add(bt(param=1, data=4), own("ab"))
    f.add(bt(sample=1, data=1), floats([3, 4]))
    f.add(bt(sample=1, param=1, data=1), own("ssc"))
    f.add(bt(param=3), param_block({"ACQ": "acq"}))
    f.add(bt(sample=1, param=2), param_block({"INS": "inst sample"}))
    f.add(bt(sample=2, param=2), param_block({"INS": "inst reference"}))
    f.add(bt(param=4), param_block({"FTP": "ft"}))
    path = f.write(tmp_path / "s.ixar")

    ab = get(path)
    assert ab.y.tolist() == [1, 2]
    assert (ab.parameters["TAG"], ab.parameters["ACQ"], ab.parameters["FTP"]) == ("ab", "acq", "ft")
    assert "INS" not in ab.parameters
    ssc = get(path, ("SSC", "2D", "NONE"))
    assert ssc.y.tolist() == [3, 4]
    assert (ssc.parameters["TAG"], ssc.parameters["INS"]) == ("ssc", "inst sample")
    assert str(fails(ValueError, path, ("RSC", "2D", "NONE"))) == no_block(("RSC", "2D", "NONE"))


def test_derivative_selection(tmp_path):
    f = IxarFile()
    for code in (0, 1, 3):  # underived, first and n-th derivative; no second
        single_spectrum([code, code], 1.0, 2.0, deriv=code, extra_params={"TAG": code}, f=f)
    path = f.write(tmp_path / "s.ixar")
    for deriv, code in [("NONE", 0), ("1DER", 1), ("NDER", 3)]:
        res = get(path, ("AB", "2D", deriv))
        assert res.derivative == deriv
        assert res.y.tolist() == [code, code] and res.parameters["TAG"] == code
    assert str(fails(ValueError, path, ("AB", "2D", "2DER"))) == no_block(("AB", "2D", "2DER"))


@pytest.mark.parametrize("kind,inst_samples,chosen", [
    ("SSC", [1, 0], 1), ("SSC", [0, 1], 1), ("SSC", [2, 3], None), ("SIFG", [3, 0], 1),
    ("RSC", [2, 0], 0), ("RSC", [0], None), ("AB", [0, 1, 2], 0), ("AB", [1, 2, 3], None)])
def test_instrument_block_rules(tmp_path, kind, inst_samples, chosen):
    data, sample = {"SSC": (1, 1), "SIFG": (2, 1), "RSC": (1, 2), "AB": (4, 0)}[kind]
    f = single_spectrum(Y, 1.0, 2.0, data_type=data, sample=sample)
    for k, s in enumerate(inst_samples):
        f.add(bt(param=2, sample=s), param_block({"INS": k}))
    assert get(f.write(tmp_path / "s.ixar"), (kind, "2D", "NONE")).parameters.get("INS") == chosen


def test_which_blocks_count(tmp_path):
    # complex and sample type are not compared for plain kinds: the later block wins
    f = single_spectrum([1.0], 1.0, 2.0, complex=0)
    single_spectrum([2.0], 1.0, 2.0, complex=2, sample=3, f=f)
    assert get(f.write(tmp_path / "a.ixar")).y.tolist() == [2.0]
    # the requested kind with another param type is no own block; side blocks
    # count wherever they stand and whatever else their word holds, the later winning
    f = IxarFile()
    f.add(bt(param=3, data=5, deriv=2, extend=10, sample=3), param_block({"ACQ": 1}))
    single_spectrum(Y, 1.0, 2.0, extra_params={"TAG": "own"}, f=f)
    for param in (2, 3, 4, 10):
        f.add(bt(param=param, data=4), param_block({"TAG": "stray"}))
    assert get(f.write(tmp_path / "b.ixar")).parameters["ACQ"] == 1
    f.add(bt(param=3, data=127), param_block({"ACQ": 2}))
    res = get(f.write(tmp_path / "c.ixar"))
    assert res.parameters["ACQ"] == 2 and res.parameters["TAG"] == "own"


ORDER = ["own", "acq", "inst", "sample", "ft"]
SIDE = {"acq": bt(param=3), "inst": bt(param=2), "sample": bt(param=10), "ft": bt(param=4)}


@pytest.mark.parametrize("present", [(), ("acq",), ("inst", "acq"), ("sample", "inst"),
                                     ("ft", "acq"), ("ft", "sample", "inst", "acq")])
def test_merge_precedence(tmp_path, present):
    f = IxarFile()
    for name in present:  # directory order opposite to merge order
        f.add(SIDE[name], param_block({"WIN": name, "K" + name[:2].upper(): 1, "MXY": 99.0}))
    single_spectrum(Y, 1.0, 2.0, extra_params={"WIN": "own"}, f=f)
    res = get(f.write(tmp_path / "s.ixar"))
    assert res.parameters["WIN"] == ORDER[max([0] + [ORDER.index(n) for n in present])]
    assert {k for k in res.parameters if k.startswith("K")} == {"K" + n[:2].upper() for n in present}
    assert res.maxY == (99.0 if present else 7.5)


# ---------------------------------------------------------- parameter records

@pytest.mark.parametrize("records,expected", [
    ([rec_int("AAA", 7, size=7), rec_int("BBB", -8, size=0)], {"AAA": 7, "BBB": -8}),
    ([rec_double("CCC", 2.5, size=1), rec_int("DDD", 1)], {"CCC": 2.5, "DDD": 1}),
    ([rec_int("MIN", -2**31), rec_int("MAX", 2**31 - 1)], {"MIN": -2**31, "MAX": 2**31 - 1}),
    ([rec_text("TXT", b"abc\0def", 4)], {"TXT": "abc"}),
    ([rec_text("TXT", b"abcd", 2), rec_int("EEE", 3)], {"TXT": "abcd", "EEE": 3}),
    ([rec_text("TXT", b"", 0), rec_text("TX2", b"\0bc", 2)], {"TXT": "", "TX2": ""}),
    ([rec_text("TXT", b"ab\0\xff", 2)], {"TXT": "ab"}),
    ([rec_text("T3", "x3", type_code=3), rec_text("T4", "x4", type_code=4)], {"T3": "x3", "T4": "x4"}),
    ([rec_int(b"\0AB\0", 1), rec_int(b" AB\0", 2), rec_int(b"A\0B\0", 3), rec_int(b"ABCD", 4)],
     {"AB": 1, " AB": 2, "A\0B": 3, "ABCD": 4}),
    ([rec_raw(b"END ", 0, 2, struct.pack("<i", 5)), rec_int("ZZZ", 6)], {"END ": 5, "ZZZ": 6}),
    ([rec_int("DUP", 1), rec_text("DUP", "two")], {"DUP": "two"}),
    ([END, rec_raw("BAD", 7, 0), rec_int("NPT", 1)], {"NPT": 4}),     # END stops the block
    ([b"\0END", rec_raw("BAD", 7, 0), rec_int("NPT", 1)], {"NPT": 4}),
])
def test_parameter_records(tmp_path, records, expected):
    params = get(spectrum(tmp_path, extra_params=records)).parameters
    assert {k: params[k] for k in expected} == expected and "BAD" not in params
    assert type(params[next(iter(expected))]) is type(next(iter(expected.values())))


@pytest.mark.parametrize("record,exc,message", [
    (rec_raw("BAD", code, 2, bytes(4)), ValueError,
     f"Unexpected value for reading parameter type: {code}") for code in (7, 5, -1, 1000)] + [
    (rec_int(b"\xff\xfeA\0", 1), UnicodeDecodeError, None),
    (rec_text("TXT", b"caf\xe9"), UnicodeDecodeError, None),
    (rec_raw("TXT", 2, -1), ValueError, None),                       # negative text size
])
def test_bad_records(tmp_path, record, exc, message):
    e = fails(exc, spectrum(tmp_path, extra_params=[record]))
    assert str(e) == message if message else str(e)


@pytest.mark.parametrize("missing,first", [
    ({"NPT"}, "NPT"), ({"FXV", "MNY"}, "FXV"), ({"LXV", "MXY"}, "LXV"), ({"MXY", "MNY"}, "MXY"),
    ({"MNY"}, "MNY")])
def test_first_missing_code_raises_key_error(tmp_path, missing, first):
    # NPT far beyond the file: the lookups still come first
    params = [kv for kv in spectrum_params(2**31 - 1, 1.0, 2.0, 0.0, 1.0) if kv[0] not in missing]
    assert fails(KeyError, spectrum(tmp_path, params=params)).args == (first,)


# ----------------------------------------------------------------- spectrum

@pytest.mark.parametrize("fxv,lxv,npt", [
    (4000.0, 399.5, 7), (3999.6403, 599.8213, 1778), (0.1, 0.7, 3), (12.3, 99.0, 1), (-5.5, -5.5, 4)])
def test_axis_is_numpy_linspace(tmp_path, fxv, lxv, npt):
    res = get(spectrum(tmp_path, y=np.arange(npt, dtype=np.float32), fxv=fxv, lxv=lxv))
    assert res.x.tobytes() == np.linspace(fxv, lxv, npt).tobytes()
    assert res.x[0] == fxv and res.x.dtype == np.float64


def test_y_values_bit_exact(tmp_path):
    bits = [0, 0x80000000, 1, 0x807FFFFF, 0x7F7FFFFF, 0x7F800000, 0xFF800000, 0x7FC12345, 0x7F800001, 0x3DCCCCCD]
    y = np.array(bits, dtype=np.uint32).view(np.float32)
    res = get(spectrum(tmp_path, y=y, mny=-5.0, mxy=123.25))
    assert res.y.dtype == np.float32 and res.y.view(np.uint32).tolist() == bits
    assert (res.minY, res.maxY) == (-5.0, 123.25)


def test_npt_smaller_than_block_and_integer_extremes(tmp_path):
    res = get(spectrum(tmp_path, params=spectrum_params(2, 1.0, 2.0, -3, 2**31 - 1)))
    assert res.y.tobytes() == Y[:2].tobytes() and res.x.tolist() == [1.0, 2.0]
    assert (res.minY, res.maxY) == (-3, 2**31 - 1) and type(res.minY) is int


# --------------------------------------------------------- damaged files

@pytest.mark.parametrize("where", ["own", "acq", "text"])
def test_unterminated_parameter_block(tmp_path, where):
    f = IxarFile()
    f.add(bt(data=4), floats(Y))
    params = spectrum_params(4, 1, 2, 0, 1)
    if where == "own":
        off = f.add(bt(param=1, data=4), param_block(params, end=False))
    else:
        f.add(bt(param=1, data=4), param_block(params))
        tail = [rec_int("AAA", 1)] + ([rec_text("TXT", b"x" * 8, 200)[:20]] if where == "text" else [])
        off = f.add(bt(param=3), param_block(tail, end=False))
    start = time.monotonic()
    e = fails(ValueError, f.write(tmp_path / "s.ixar"))
    assert time.monotonic() - start < 2.0
    assert str(off) in str(e) or hex(off) in str(e)


@pytest.mark.parametrize("npt,cut", [(5, 0), (4, 2), (4, 16), (2**31 - 1, 0), (10**6, 0)])
def test_spectrum_beyond_end_of_file(tmp_path, npt, cut):
    data = single_spectrum(Y, 1.0, 2.0, npt=npt).tobytes()
    path = tmp_path / "cut.ixar"
    path.write_bytes(data[:len(data) - cut])
    start = time.monotonic()
    assert str(fails(ValueError, path))
    assert time.monotonic() - start < 2.0


@pytest.mark.parametrize("role", ["data", "own"])
def test_negative_offsets(tmp_path, role):
    f = IxarFile()
    data_off, own_off = -8, f.place(own("x", npt=4))
    if role == "own":
        data_off, own_off = f.place(floats(Y)), -12
    f.add_entry(bt(data=4), 4, data_off)
    f.add_entry(bt(param=1, data=4), 20, own_off)
    assert fails(OSError, f.write(tmp_path / "s.ixar")).errno == errno.EINVAL
