"""getIxarData on 2D blocks: arguments, request checks, block selection, parameter records, spectra."""

import errno
import os
import pathlib
import re
import struct
import traceback

import numpy as np
import pytest

import ixarkit
from checks import AB2 as REQ, fails, get, reports, same  # noqa: F401  (fixture)
from ixarwriter import (END, IxarFile, block_type as bt, floats, image_map, param_block, rec_double, rec_int,
                        rec_raw, rec_text, single_spectrum, spectrum_params)

Y = np.array([0.5, -1.25, 3.0, 7.5], dtype=np.float32)
PACKAGE = os.path.dirname(ixarkit.__file__)  # (a checkout's own folder may be named ixarkit too)


def spectrum(tmp_path, y=Y, fxv=4000.0, lxv=400.0, **kw):
    return single_spectrum(y, fxv, lxv, **kw).write(tmp_path / "s.ixar")


def _bits(seed, count):
    rng = np.random.default_rng(seed)
    return [tuple(np.frombuffer(rng.bytes(16), "<f8").tolist()) for _ in range(count)]


@pytest.mark.parametrize("fxv,lxv", [(4000.0, 400.0), (0.1, 0.3), (-0.0, -1.0), (5e-324, 1e-323), (1e-310, -1e-310),
                                     (1.0, 1.0), (1e308, -1e308), (float("nan"), 1.0), (float("inf"), 0.0)] + _bits(3, 8))
@pytest.mark.parametrize("npt", [1, 2, 3, 1001])
def test_x_axis_is_numpys_linspace(tmp_path, fxv, lxv, npt):
    # Bit for bit, warnings included: subnormal steps, signed zeros, distances that overflow, NaN and infinity.
    import warnings
    path = spectrum(tmp_path, np.zeros(npt, np.float32), fxv, lxv)
    def warned(call):   # what the call gives, and the warnings it gives
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            return call(), [str(w.message) for w in seen]
    (x, got), (expected, want) = warned(lambda: get(path, REQ).x), warned(lambda: np.linspace(fxv, lxv, npt))
    same(x, expected)
    assert got == want


@pytest.mark.parametrize("kind,data,sample", [("AB", 4, 0), ("KM", 6, 0), ("TR", 5, 0), ("SSC", 1, 1), ("RIFG", 2, 2)])
def test_single_spectrum_and_request_forms(tmp_path, kind, data, sample):
    path = spectrum(tmp_path, data_type=data, sample=sample, extra_params={"SNM": "sample 1", "NSS": 32})
    for req in [(kind, "2D", "NONE"), (kind.lower(), "2d", "none"), (kind.title(), "2D", "None", "ignored")]:
        for res in [get(path, req), ixarkit.getIxarData(path=path, datablock=req), ixarkit.getIxarData(path, datablock=req)]:
            assert type(res) is ixarkit.SingleDataReturn and (res.dataType, res.dimension, res.derivative) == (kind, "2D", "NONE")
            same(res.y, Y, res.x, np.linspace(4000.0, 400.0, 4))
            assert res.parameters == {"NPT": 4, "FXV": 4000.0, "LXV": 400.0, "MXY": 7.5, "MNY": -1.25, "DXU": "WN", "SNM": "sample 1",
                                      "NSS": 32}


@pytest.mark.parametrize("args,kwargs,exc,match", [
    ((1,), {}, TypeError, r"\(1 given\)"), ((), {}, TypeError, r"\(0 given\)"), ((1, REQ, 1), {}, TypeError, r"\(3 given\)"),
    ((1, REQ), {"foo": 1}, TypeError, "'foo'"), ((1, REQ), {"path": 1}, TypeError, "multiple values.*'path'"),
    ((1, REQ), {}, TypeError, "expected str, got int"), ((b"f", REQ), {}, TypeError, "got bytes"),
    ((pathlib.Path("f"), REQ), {}, TypeError, f"got {type(pathlib.Path()).__name__}"), ((type("StrPath", (str,), {})("f"), REQ), {}, TypeError, "got StrPath"),
    ((None, REQ), {}, TypeError, "os.PathLike object, not NoneType"),   # as open() says
    # requests are checked before the file is opened
    (("f", ("AB", "4D", "NONE")), {}, ValueError, "4D"), (("f", ("xx", "1d", "4der")), {}, ValueError, "1D"),
    (("f", ("xx", "2d", "4der")), {}, ValueError, "XX.*KM, SIFG"), (("f", ("3D", "3D", "NONE")), {}, ValueError, "type: 3D"),
    (("f", ("ab", "2d", "3der")), {}, ValueError, "3DER"), (("f", ("AB", "2D")), {}, IndexError, None),
    (("f", ("AB", 2, "NONE")), {}, AttributeError, None), (("f", ("ab", "3d", "nder")), {}, FileNotFoundError, None),
])
def test_argument_and_request_errors(tmp_path, monkeypatch, args, kwargs, exc, match):
    monkeypatch.chdir(tmp_path)   # "f" does not exist
    with pytest.raises(exc, match=match) as info:
        ixarkit.getIxarData(*args, **kwargs)
    if exc is not AttributeError:  # no frames of the package's own helpers: the traceback ends at the call
        assert not [f for f in traceback.extract_tb(info.tb) if f.filename.startswith(PACKAGE)]


def own(tag, npt=2):
    return param_block(spectrum_params(npt, 1.0, 2.0, 0.0, 1.0) + [("TAG", tag)])


def only(word, payload, f=None, entry=None):
    f = f or IxarFile()
    f.add(word, payload) if entry is None else f.add_entry(word, *entry)
    return f


@pytest.mark.parametrize("make,req,match", [
    (lambda: only(bt(data=4), floats(Y)), REQ, "No data block"),                 # no own parameters
    (lambda: only(bt(param=1, data=4), own("x", 4)), REQ, "No data block"),      # no data
    (lambda: single_spectrum(Y, 1.0, 2.0), ("AB", "3D", "NONE"), "No data block.* 3D"),
    (lambda: single_spectrum(Y, 1.0, 2.0), ("TR", "2D", "NONE"), "No data block.*TR"),
    (lambda: single_spectrum(Y, 1.0, 2.0, data_type=1, sample=1), ("RSC", "2D", "NONE"), "RSC"),   # SSC only
    (lambda: image_map(np.zeros((1, 2, 3)), 1.0, 3.0), REQ, "No data block"),
    (lambda: only(bt(data=4), None, single_spectrum(Y, 1.0, 2.0), (4, -1)), REQ, "No data"),   # a later entry at -1
    (lambda: b"\x0a\x0a\xfe\xfd" + bytes(100), REQ, "non-Ixar"),
    (lambda: single_spectrum(Y, 1.0, 2.0).tobytes()[:-9], REQ, "end of the file")])                # cut short
def test_no_data_block(tmp_path, make, req, match):
    # As from any built-in function, the traceback ends at the call: no frames of the package's own helpers.
    (path := tmp_path / "s.ixar").write_bytes(f if isinstance(f := make(), bytes) else f.tobytes())
    info = pytest.raises(ValueError, ixarkit.getIxarData, str(path), req)
    assert info.match(match) and not [f for f in traceback.extract_tb(info.tb) if f.filename.startswith(PACKAGE)]


def test_derivative_selection(tmp_path):
    f = IxarFile()
    for code in (0, 1, 3):  # underived, first and n-th derivative; no second
        single_spectrum([code, code], 1.0, 2.0, deriv=code, extra_params={"TAG": code}, f=f)
    for deriv, code in [("NONE", 0), ("1DER", 1), ("NDER", 3)]:
        res = get(path := f.write(tmp_path / "s.ixar"), ("AB", "2D", deriv))
        assert res.derivative == deriv and res.y.tolist() == [code, code] and res.parameters["TAG"] == code
    fails(ValueError, path, ("AB", "2D", "2DER"))


@pytest.mark.parametrize("kind,inst_samples,chosen", [
    ("SSC", [1, 0], 1), ("SSC", [0, 1], 1), ("SSC", [2, 3], None), ("SIFG", [3, 0], 1),
    ("RSC", [2, 0], 0), ("RSC", [0], None), ("AB", [0, 1, 2], 0), ("AB", [1, 2, 3], None)])
def test_instrument_block_rules(tmp_path, kind, inst_samples, chosen):
    data, sample = {"SSC": (1, 1), "SIFG": (2, 1), "RSC": (1, 2), "AB": (4, 0)}[kind]
    f = single_spectrum(Y, 1.0, 2.0, data_type=data, sample=sample)
    [f.add(bt(param=2, sample=s), param_block({"INS": k})) for k, s in enumerate(inst_samples)]
    assert get(f.write(tmp_path / "s.ixar"), (kind, "2D", "NONE")).parameters.get("INS") == chosen


def test_which_blocks_count(tmp_path):
    # complex and sample type are not compared for plain kinds: the later block wins
    f = single_spectrum([1.0], 1.0, 2.0, complex=0)
    assert get(single_spectrum([2.0], 1.0, 2.0, complex=2, sample=3, f=f).write(tmp_path / "a.ixar"), REQ).y.tolist() == [2.0]
    # the kind with another param type is no own block; side blocks count wherever they are, the later winning
    (f := IxarFile()).add(bt(param=3, data=5, deriv=2, extend=10, sample=3), param_block({"ACQ": 1}))
    single_spectrum(Y, 1.0, 2.0, extra_params={"TAG": "own"}, f=f)
    [f.add(bt(param=param, data=4), param_block({"TAG": "stray"})) for param in (2, 3, 4, 10)]
    assert get(f.write(tmp_path / "b.ixar"), REQ).parameters["ACQ"] == 1
    f.add(bt(param=3, data=127), param_block({"ACQ": 2}))
    assert [get(f.write(tmp_path / "c.ixar"), REQ).parameters[k] for k in ("ACQ", "TAG")] == [2, "own"]


ORDER = ["own", "acq", "inst", "sample", "ft"]
SIDE = {"acq": bt(param=3), "inst": bt(param=2), "sample": bt(param=10), "ft": bt(param=4)}


@pytest.mark.parametrize("present", [(), ("acq",), ("inst", "acq"), ("sample", "inst"), ("ft", "acq"), ("ft", "sample", "inst", "acq")])
def test_merge_precedence(tmp_path, present):
    f = IxarFile()   # directory order opposite to merge order
    [f.add(SIDE[name], param_block({"WIN": name, "K" + name[:2].upper(): 1, "MXY": 99.0})) for name in present]
    res = get(single_spectrum(Y, 1.0, 2.0, extra_params={"WIN": "own"}, f=f).write(tmp_path / "s.ixar"), REQ)
    assert res.parameters["WIN"] == ORDER[max([0] + [ORDER.index(n) for n in present])] and res.maxY == (99.0 if present else 7.5)
    assert {k for k in res.parameters if k.startswith("K")} == {"K" + n[:2].upper() for n in present}


@pytest.mark.parametrize("records,expected", [
    ([rec_int("AAA", 7, size=7), rec_int("BBB", -8, size=0)], {"AAA": 7, "BBB": -8}),
    ([rec_double("CCC", 2.5, size=1), rec_int("DDD", 1)], {"CCC": 2.5, "DDD": 1}),
    ([rec_int("MIN", -2**31), rec_int("MAX", 2**31 - 1)], {"MIN": -2**31, "MAX": 2**31 - 1}),
    ([rec_text("TXT", b"abc\0def", 4)], {"TXT": "abc"}), ([rec_text("TXT", b"abcd", 2), rec_int("EEE", 3)], {"TXT": "abcd", "EEE": 3}),
    ([rec_text("TXT", b"", 0), rec_text("TX2", b"\0bc", 2)], {"TXT": "", "TX2": ""}), ([rec_text("TXT", b"ab\0\xff", 2)], {"TXT": "ab"}),
    ([rec_text("T3", "x3", type_code=3), rec_text("T4", "x4", type_code=4)], {"T3": "x3", "T4": "x4"}),
    ([rec_int(b"\0AB\0", 1), rec_int(b" AB\0", 2), rec_int(b"A\0B\0", 3), rec_int(b"ABCD", 4)],
     {"AB": 1, " AB": 2, "A\0B": 3, "ABCD": 4}),
    ([rec_raw(b"END ", 0, 2, struct.pack("<i", 5)), rec_int("ZZZ", 6)], {"END ": 5, "ZZZ": 6}),
    ([rec_int("DUP", 1), rec_text("DUP", "two")], {"DUP": "two"}),
    ([END, rec_raw("BAD", 7, 0), rec_int("NPT", 1)], {"NPT": 4}),     # END stops the block
    ([b"\0END", rec_raw("BAD", 7, 0), rec_int("NPT", 1)], {"NPT": 4}),
])
def test_parameter_records(tmp_path, records, expected):
    params = get(spectrum(tmp_path, extra_params=records), REQ).parameters
    assert {k: params[k] for k in expected} == expected and "BAD" not in params
    assert type(params[next(iter(expected))]) is type(next(iter(expected.values())))


@pytest.mark.parametrize("record,exc,match", [
    (rec_raw("BAD", code, 2, bytes(4)), ValueError, f"type: {code}$") for code in (7, 5, -1, 1000)] + [
    (rec_int(b"\xff\xfeA\0", 1), UnicodeDecodeError, "."), (rec_text("TXT", b"caf\xe9"), UnicodeDecodeError, "."),
    (rec_raw("TXT", 2, -1), ValueError, "negative"),
])
def test_bad_records(tmp_path, record, exc, match):
    assert re.search(match, str(fails(exc, spectrum(tmp_path, extra_params=[record]), REQ)))


@pytest.mark.parametrize("missing,first", [
    ({"NPT"}, "NPT"), ({"FXV", "MNY"}, "FXV"), ({"LXV", "MXY"}, "LXV"), ({"MXY", "MNY"}, "MXY"), ({"MNY"}, "MNY")])
def test_first_missing_code_raises_key_error(tmp_path, missing, first):
    # NPT far beyond the file: the lookups still come first
    params = [kv for kv in spectrum_params(2**31 - 1, 1.0, 2.0, 0.0, 1.0) if kv[0] not in missing]
    assert fails(KeyError, spectrum(tmp_path, params=params), REQ).args == (first,)


def test_y_values_bit_exact_npt_smaller_than_block_and_integer_extremes(tmp_path):
    y = np.array([0, 0x80000000, 1, 0x807FFFFF, 0x7F7FFFFF, 0x7F800000, 0xFF800000, 0x7FC12345, 0x7F800001,
                  0x3DCCCCCD], dtype=np.uint32).view(np.float32)
    res = get(spectrum(tmp_path, y=y, mny=-5.0, mxy=123.25), REQ)
    same(res.y, y)
    assert (res.minY, res.maxY) == (-5.0, 123.25)
    res = get(spectrum(tmp_path, params=spectrum_params(2, 1.0, 2.0, -3, 2**31 - 1)), REQ)
    same(res.y, Y[:2], res.x, np.array([1.0, 2.0]))
    assert (res.minY, res.maxY) == (-3, 2**31 - 1) and type(res.minY) is int


def test_parameters_ending_at_the_last_byte(tmp_path, reports):
    f = only(bt(data=4), floats(Y))
    f.add(bt(param=1, data=4), param_block(spectrum_params(4, 1.0, 2.0, 0.0, 1.0) + [rec_text("TXT", "abcd", 2)]))
    assert f.tobytes().endswith(b"abcdEND\0")   # a text value and the END record end the file
    res = get(f.write(tmp_path / "s.ixar"), REQ)
    same(res.y, Y)
    assert res.parameters["TXT"] == "abcd" and reports()[1] == ""


@pytest.mark.parametrize("tail", [None, [], [rec_text("TXT", b"x" * 8, 200)[:20]]])   # own block, side block, cut text
def test_unterminated_parameter_block(tmp_path, tail):
    f, params = only(bt(data=4), floats(Y)), spectrum_params(4, 1, 2, 0, 1)
    off = f.add(bt(param=1, data=4), param_block(params, end=tail is not None))
    if tail is not None:
        off = f.add(bt(param=3), param_block([rec_int("AAA", 1)] + tail, end=False))
    assert re.search(f"{off}|{hex(off)}", str(fails(ValueError, f.write(tmp_path / "s.ixar"), REQ)))


@pytest.mark.parametrize("npt,cut", [(5, 0), (4, 2), (4, 16), (2**31 - 1, 0), (10**6, 0)])
def test_spectrum_beyond_end_of_file(tmp_path, npt, cut):
    data = single_spectrum(Y, 1.0, 2.0, npt=npt).tobytes()
    (path := tmp_path / "cut.ixar").write_bytes(data[:len(data) - cut])
    assert "file" in str(fails(ValueError, path, REQ))


@pytest.mark.parametrize("role", ["data", "own"])
def test_negative_offsets(tmp_path, role):
    f = IxarFile()
    data_off, own_off = (-8, f.place(own("x", npt=4))) if role == "data" else (f.place(floats(Y)), -12)
    f.add_entry(bt(data=4), 4, data_off)
    f.add_entry(bt(param=1, data=4), 20, own_off)
    assert fails(OSError, f.write(tmp_path / "s.ixar"), REQ).errno == errno.EINVAL
