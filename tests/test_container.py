"""File container: signature, directory and extended directory walk, listing, failed reads past the end."""

import functools
import os
import pathlib
import struct

import pytest

import ixarkit
from checks import reports  # noqa: F401  (fixture)
from ixarwriter import END, SIGNATURE, IxarFile, block_type as bt, ext_dir

AB, SSC, TR = ("AB", "2D", "NONE"), ("SSC", "2D", "NONE"), ("TR", "2D", "NONE")
named = functools.partial(bt, param=1)    # type word of a listable entry: an own parameter block


def write(tmp_path, data):
    (path := tmp_path / "f.ixar").write_bytes(data if isinstance(data, bytes) else data.tobytes())
    return str(path)


def listing(tmp_path, *words, ext=(), entries=(), **file_options):
    """listContents of a file with an (empty) block per type word, extended ones and bare entries."""
    f = IxarFile(**file_options)
    [f.add(word, END) for word in words] + [f.add(word, END, ext=True) for word in ext] + [f.add_entry(*e) for e in entries]
    return ixarkit.listContents(write(tmp_path, f))


@pytest.mark.parametrize("data,expected", [
    (SIGNATURE, True), (SIGNATURE + b"anything at all", True), (b"\xfe\xfe\x0a\x0a" + bytes(20), False),
    (b"\x0a\x0a\xfe\xff" + bytes(20), False), (bytes(24), False)] + [(SIGNATURE[:n], struct.error) for n in range(4)])
def test_signature(tmp_path, data, expected):
    if expected is not struct.error:
        assert ixarkit.isIxarFile(write(tmp_path, data)) is expected
    else:   # shorter than the signature
        [pytest.raises(struct.error, fn, write(tmp_path, data)) for fn in (ixarkit.isIxarFile, ixarkit.listContents)]


@pytest.mark.parametrize("fn", [ixarkit.isIxarFile, ixarkit.listContents])
def test_paths_and_open_errors(tmp_path, fn):
    path, expected = write(tmp_path, IxarFile().tobytes()), fn is ixarkit.isIxarFile or []
    assert fn(pathlib.Path(path)) == expected and fn(os.fsencode(path)) == expected
    pytest.raises(TypeError, fn, fd := os.open(path, os.O_RDONLY))   # no descriptors
    os.fstat(fd)  # still open
    os.close(fd)
    for bad in (str(tmp_path / "nope.ixar"), str(tmp_path), None):   # the errors of open()
        want, got = pytest.raises(Exception, open, bad, "rb").value, pytest.raises(Exception, fn, bad).value
        assert (type(got), str(got)) == (type(want), str(want))


def test_leading_kinds_first_and_reversed_no_de_duplication(tmp_path):
    words = [named(sample=1, data=1), named(data=4), named(sample=2, data=1), named(data=5)]
    assert listing(tmp_path, *words) == [TR, AB, SSC, ("RSC", "2D", "NONE")]
    assert listing(tmp_path, *words[:2] * 2) == [AB, AB, SSC, SSC]
    order = [("AB", 4), ("SSC", 1), ("TR", 5), ("LREFL", 15), ("REFL", 12), ("ATR", 16), ("TRC", 7), ("PAS", 17),
             ("RAM", 10), ("KM", 6), ("ABARI", 19), ("EMIS", 11)]
    leading = {"AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"}
    assert [t[0] for t in listing(tmp_path, *[named(data=d, sample=int(n == "SSC")) for n, d in order])] == (
        [n for n, _ in reversed(order) if n in leading] + [n for n, _ in order if n not in leading])


@pytest.mark.parametrize("data,sample,name", [
    (12, 0, "REFL"), (10, 1, "RAM"), (17, 2, "PAS"), (15, 3, "LREFL"), (6, 0, "KM"), (5, 1, "TR"),
    (11, 2, "EMIS"), (16, 3, "ATR"), (18, 0, "TRARI"), (19, 1, "ABARI"), (4, 3, "AB"), (7, 2, "TRC"),
    (14, 1, "SPOW"), (14, 2, "RPOW"), (3, 1, "SPH"), (3, 2, "RPH"), (2, 1, "SIFG"), (2, 2, "RIFG"),
    (1, 1, "SSC"), (1, 2, "RSC"), (14, 0, None), (14, 3, None), (3, 0, None), (2, 3, None), (1, 0, None),
    (0, 0, None), (8, 0, None), (9, 1, None), (13, 0, None), (20, 0, None), (127, 0, None),
])
@pytest.mark.parametrize("complex_type", [0, 3])
def test_data_type_names(tmp_path, data, sample, name, complex_type):
    assert listing(tmp_path, named(data=data, sample=sample, complex=complex_type)) == [(name, "2D", "NONE")][:bool(name)]


@pytest.mark.parametrize("extend,dimension", [(10, "3D"), (0, "2D"), (1, "2D"), (11, "2D"), (64, "2D"), (127, "2D")])
def test_dimension_only_3d_for_extension_10_and_derivative_names(tmp_path, extend, dimension):
    assert listing(tmp_path, entries=[(named(data=4, deriv=d, extend=extend), 0, 0) for d in range(4)]) == [
        ("AB", dimension, d) for d in ("3DER", "2DER", "1DER", "NONE")]  # AB leads: reversed


def test_only_own_parameter_blocks_are_listed_non_ixar_files_not_walked(tmp_path, reports):
    assert all(listing(tmp_path, bt(param=p, data=4), bt(param=p, data=1, sample=1)) == [] for p in (0, 2, 3, 4, 10, 63))
    pytest.raises(ValueError, ixarkit.listContents, write(tmp_path, b"\xfe\xfe\x0a\x0a"))
    assert reports()[1] == ""


@pytest.mark.parametrize("main,ext,expected", [
    (0, None, []), (-1, None, []), (-2**31, None, []), (None, 0, [AB]), (None, -1, [AB]), (None, -2**63, [AB])])
def test_non_positive_counts_list_nothing(tmp_path, main, ext, expected):
    assert listing(tmp_path, named(data=4), ext=[named(data=5)], number_dir_entries=main, number_ext_entries=ext) == expected


def test_extended_entries_follow_main_entries_later_pointer_wins_extended_entries_are_no_pointers(tmp_path):
    f = IxarFile()
    f.add(named(data=1, sample=1), END)
    f.ext_pointer(named(data=1, sample=2, extend=64))  # kept in place: lists as RSC
    f.add(named(data=2, sample=1), END)
    [f.add(named(data=3, sample=s), END, ext=True) for s in (1, 2)]
    assert [t[0] for t in ixarkit.listContents(write(tmp_path, f))] == ["SSC", "RSC", "SIFG", "SPH", "RPH"]
    f = IxarFile()   # the later pointer wins, even at offset zero
    [f.add(bt(extend=64), ext_dir([(named(data=1, sample=s), 1, 0)])) for s in (1, 2)]
    assert ixarkit.listContents(write(tmp_path, f)) == [("RSC", "2D", "NONE")]
    f.add_entry(named(data=5, extend=64), 0, 0)   # no extended directory read
    assert ixarkit.listContents(write(tmp_path, f)) == [TR]
    f = IxarFile()
    f.add_ext_entry(named(data=5, extend=64), 1, f.place(ext_dir([(named(data=4), 1, 0)])))
    assert ixarkit.listContents(write(tmp_path, f)) == [TR]


@pytest.mark.parametrize("high,ext_high", [(1, 0x3F << 26), (32, 1 << 40), (63, -(1 << 63)), (63, (1 << 64) - (1 << 26))])
def test_high_bits_of_type_words_ignored(tmp_path, high, ext_high):
    f = IxarFile()
    f.add(named(data=4, extend=10, high=high), END)
    f.add(bt(extend=64, high=high), ext_dir([(named(data=5), 1, 0), ((named(data=4, deriv=2) & 0x3FFFFFF) | ext_high, 1, 0)]))
    assert ixarkit.listContents(write(tmp_path, f)) == [("AB", "2D", "2DER"), TR, ("AB", "3D", "NONE")]
    # all ones decodes to (3, 3, 63, 127, 3, 127): no name, and no pointer
    assert listing(tmp_path, -1, named(data=4), -1) == [AB]


@pytest.mark.parametrize("ext", [False, True])
def test_entries_ending_at_the_last_byte(tmp_path, reports, ext):
    f = IxarFile(dir_slots=1)
    (f.add_ext_entry if ext else f.add_entry)(named(data=4), 0, 0)
    assert len(data := f.tobytes()) == 24 + 12 + 48 * ext   # nothing after the entry
    assert ixarkit.listContents(write(tmp_path, data)) == [AB] and reports()[1] == ""


@pytest.mark.parametrize("tail,expected", [(8, {"readInt": 3}), (2, {"readDouble": 1, "readInt": 3})])
def test_header_cut_short(tmp_path, reports, tail, expected):
    assert ixarkit.listContents(write(tmp_path, SIGNATURE + bytes(tail))) == []
    assert (r := reports())[0] == {name: expected.get(name, 0) for name in r[0]} and "Traceback" in r[1]


@pytest.mark.parametrize("count", [None, 2**31 - 1])   # one report, whatever the count claims
@pytest.mark.parametrize("extra", [0, 2])              # the last entry: its type word and extra bytes
def test_entries_cut_short_read_zeros(tmp_path, reports, count, extra):
    f = IxarFile(dir_slots=2, number_dir_entries=count)
    [f.add_entry(word, 5, 100) for word in (named(data=1, sample=1), named(data=4))]
    assert ixarkit.listContents(write(tmp_path, f.tobytes()[:24 + 12 + 4 + extra])) == [AB, SSC]
    counts = reports()[0]
    assert counts == {**dict.fromkeys(counts, 0), "readInt": 1}  # then the walk ends
    f = IxarFile(dir_slots=1)
    f.add_ext_entry(named(data=5), 9, 9)
    assert ixarkit.listContents(write(tmp_path, f.tobytes()[:-32 + 8 + 2 * extra])) == [TR]
    assert (counts := reports()[0])["readInt64"] == 1 and counts["readInt"] == 0


@pytest.mark.parametrize("main,ext", [(2_000_000_000, None), (2**31 - 1, None), (3, 2**62), (3, 2**63 - 1)])
def test_huge_entry_counts(tmp_path, reports, main, ext):
    f = IxarFile(dir_slots=3, number_dir_entries=main, number_ext_entries=ext)
    [f.add_entry(word, 1, 0) for word in (named(data=1, sample=1), named(data=4))]
    [f.add_ext_entry(named(data=5), 1, 0) for _ in range(ext is not None)]
    assert ixarkit.listContents(write(tmp_path, f)) == ([] if ext is None else [TR]) + [AB, SSC]
    assert reports()[1].count("Exception ignored") == 1   # the entry the file cuts off
