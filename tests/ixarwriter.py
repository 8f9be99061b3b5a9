"""Builds IXAR files for the tests, the benchmarks and the sample data.

File layout as this writer produces it (all numbers little-endian except the
signature):

    0   header (24 bytes)
          0  signature 0A 0A FE FE
          4  float64  (not read; written as 0.0)
         12  int32    offsetToDirectory
         16  int32    (not read; written as the number of directory slots)
         20  int32    numberDirEntries
    24  main directory: slots of 12 bytes (int32 type word, sizeInWords,
        byteOffset); ``dir_slots`` slots are reserved so that block offsets
        are known as soon as a block is added; unused slots are zero
    ..  blocks, back to back, each padded to a multiple of 4 bytes
    ..  extended directory (only when extended entries were added):
        int64 numberExtEntries, int64 unused, then 32-byte entries
        (int64 type word, sizeInWords, byteOffset, unused)

Blocks are position independent: offsets inside a 3D data block are relative
to the block, offsets inside an annotation block relative to that block.

Every builder takes overrides for the fields a reader trusts, so that damaged
files can be made as easily as good ones.
"""

import math
import struct

import numpy as np

SIGNATURE = b"\x0a\x0a\xfe\xfe"
HEADER_SIZE = 24
DIR_ENTRY_SIZE = 12
EXT_ENTRY_SIZE = 32

# extendType values with a meaning of their own
EXT_3D = 10
EXT_ANNOTATION = 11
EXT_POINTER = 64

# paramType values
P_DATA, P_OWN, P_INSTRUMENT, P_ACQUISITION, P_FT, P_SAMPLE = 0, 1, 2, 3, 4, 10

# dataType values of the kinds this writer's convenience builders use
D_SC, D_AB, D_TRC = 1, 4, 7

DERIV = {"NONE": 0, "1DER": 1, "2DER": 2, "NDER": 3}

_FIELDS = (  # name, shift, width in bits
    ("complex", 0, 2), ("sample", 2, 2), ("param", 4, 6),
    ("data", 10, 7), ("deriv", 17, 2), ("extend", 19, 7), ("high", 26, 6),
)


def block_type(complex=0, sample=0, param=0, data=0, deriv=0, extend=0, high=0):
    """The 32-bit block type word, as the signed int the main directory holds."""
    values = dict(complex=complex, sample=sample, param=param, data=data,
                  deriv=deriv, extend=extend, high=high)
    word = 0
    for name, shift, width in _FIELDS:
        v = values[name]
        if not 0 <= v < (1 << width):
            raise ValueError(f"{name}={v} does not fit in {width} bits")
        word |= v << shift
    return word - (1 << 32) if word & 0x80000000 else word


def _i32(v):
    return struct.pack("<i", v)


def _wrap64(v):
    """Any int as the signed 64-bit value with the same low 64 bits."""
    v &= (1 << 64) - 1
    return v - (1 << 64) if v >> 63 else v


# ---------------------------------------------------------------- parameters

END = b"END\0"


def _name(name):
    raw = name.encode("ascii") if isinstance(name, str) else bytes(name)
    if len(raw) > 4:
        raise ValueError(f"parameter name {name!r} longer than 4 bytes")
    return raw.ljust(4, b"\0")


def rec_raw(name, type_code, size, value_bytes=b""):
    """One parameter record: name, int16 type code, int16 size in words, value."""
    return _name(name) + struct.pack("<hh", type_code, size) + bytes(value_bytes)


def rec_int(name, value, size=2):
    return rec_raw(name, 0, size, _i32(value))


def rec_double(name, value, size=4):
    return rec_raw(name, 1, size, struct.pack("<d", value))


def rec_text(name, text, size_words=None, type_code=2):
    """Text record; the field is 2 * size_words bytes, NUL padded or cut.

    By default the field is just long enough for the text and one NUL. A
    negative size_words writes the text bytes as they are.
    """
    raw = text.encode("ascii") if isinstance(text, str) else bytes(text)
    if size_words is None:
        size_words = len(raw) // 2 + 1
    field = raw if size_words < 0 else raw[:2 * size_words].ljust(2 * size_words, b"\0")
    return rec_raw(name, type_code, size_words, field)


def param_record(name, value):
    if isinstance(value, (bool, int, np.integer)):
        return rec_int(name, int(value))
    if isinstance(value, (float, np.floating)):
        return rec_double(name, float(value))
    if isinstance(value, (str, bytes)):
        return rec_text(name, value)
    raise TypeError(f"no parameter record for {type(value).__name__}")


def param_block(params, end=True):
    """A parameter block from a dict, or a list of (name, value) pairs and
    ready-made record bytes; ends with END unless end is False."""
    items = params.items() if isinstance(params, dict) else params
    out = [item if isinstance(item, (bytes, bytearray)) else param_record(*item)
           for item in items]
    if end:
        out.append(END)
    return b"".join(out)


def _param_items(params):
    if params is None:
        return []
    return list(params.items()) if isinstance(params, dict) else list(params)


# ----------------------------------------------------------------- 3D blocks

def floats(values):
    """Little-endian float32 bytes."""
    return np.asarray(values, dtype="<f4").tobytes()


def special_floats(shape, seed=0):
    """Reproducible float32 test values with a negative zero, a subnormal, both
    infinities and a NaN with a payload at the front, so that any conversion
    on the way out of a file shows up in a bitwise comparison."""
    a = np.random.default_rng(seed).standard_normal(shape).astype(np.float32).ravel()
    bits = np.array([0x80000000, 0x00000001, 0x7F800000, 0xFF800000, 0x7FC12345],
                    dtype=np.uint32).view(np.float32)
    a[:min(len(bits), a.size)] = bits[:a.size]
    return a.reshape(shape)


def _fit(raw, width):
    return raw[:width].ljust(width, b"\0")


def info_record(size=160, z=None, label=None, fill=b"\0"):
    """Info record of a 3D spectrum: float64 z at byte 136, label from 152 on."""
    buf = bytearray((fill * size)[:size].ljust(max(size, 160), b"\0"))
    if z is not None:
        buf[136:144] = struct.pack("<d", z)
    if label is not None:
        raw = label.encode("ascii") if isinstance(label, str) else bytes(label)
        buf[152:max(size, 152)] = _fit(raw, max(size - 152, 0))
    return bytes(buf[:size])


def block3d(records, store_table=None, block_offset=None, block_size=None,
            info_size=None, version=0, stored_blocks=None, gaps=None,
            number_entries=None):
    """A 3D data block.

    records: list of (values, info_bytes), in file order; values are float32
    data (any array-like, or bytes used as they are).
    store_table: list of [first, last] runs and [-1, n] gaps, default one run
    over all records. Runs take the next last - first + 1 records; a gap puts
    n filler bytes (``gaps``, default 0xA5) into the record area. Records the
    table does not cover are appended after the last entry.
    block_offset: header field; when it lies beyond the store table the
    record area starts there, otherwise the records still follow the table
    and only the field is wrong.
    block_size, info_size default to the size of the first record's parts.
    """
    records = [(v if isinstance(v, (bytes, bytearray)) else floats(v), bytes(i))
               for v, i in records]
    if store_table is None:
        store_table = [[0, len(records) - 1]] if records else []
    fill = b"\xa5" if gaps is None else gaps
    area, pos = [], 0
    for first, second in store_table:
        if first == -1:
            area.append((fill * max(second, 0))[:max(second, 0)])
            continue
        for data, info in records[pos:pos + max(second - first + 1, 0)]:
            area += [data, info]
        pos += max(second - first + 1, 0)
    for data, info in records[pos:]:
        area += [data, info]

    table = b"".join(struct.pack("<ii", a, b) for a, b in store_table)
    natural = 24 + len(table)
    pad = b""
    if block_offset is None:
        block_offset = natural
    elif block_offset > natural:
        pad = b"\0" * (block_offset - natural)
    first_data, first_info = records[0] if records else (b"", b"")
    header = struct.pack(
        "<6i", version,
        len(records) if stored_blocks is None else stored_blocks,
        block_offset,
        len(first_data) if block_size is None else block_size,
        len(first_info) if info_size is None else info_size,
        len(store_table) if number_entries is None else number_entries)
    return b"".join([header, table, pad] + area)


# -------------------------------------------------------- annotation blocks

ANNO_INT, ANNO_FLOAT, ANNO_TEXT = 4, 5, 1004
TEXT_CODES = (1004, 1005, 1011)


class AnnoTable:
    """One annotation table: its header parameter list followed by its rows.

    columns: (name, type_code) or (name, type_code, offset); offsets default
    to a back-to-back layout, 4 bytes per number and, per text column, room
    for its longest text plus a NUL, rounded up to 4 bytes.
    The reader takes a row's fields back to back and reads every text field
    as SRC - offset bytes of the widest text column, so a table with one text
    column placed last reads back exactly as written.

    Overrides: siz/src/nco/nln replace the header values (rows stay where
    they are, except that a siz beyond the header moves the rows there);
    row_len is the physical row length (and default SRC); extra adds (name,
    value) pairs or records to the header; drop leaves out parameter codes.
    """

    def __init__(self, columns, rows, row_len=None, siz=None, src=None,
                 nco=None, nln=None, extra=(), drop=()):
        self.rows = [tuple(r) for r in rows]
        cols, offset = [], 0
        for i, col in enumerate(columns):
            name, code = col[0], col[1]
            if code in TEXT_CODES:
                longest = max([len(_text(r[i])) for r in self.rows] + [0])
                width = (longest + 1 + 3) // 4 * 4
            else:
                width = 4
            off = col[2] if len(col) > 2 else offset
            cols.append((name, code, off, width))
            offset = off + width
        self.columns = cols
        self.row_len = row_len if row_len is not None else max(
            [o + w for _, _, o, w in cols] + [0])
        self.siz, self.src, self.nco, self.nln = siz, src, nco, nln
        self.extra, self.drop = list(extra), set(drop)

    def _row(self, row):
        buf = bytearray(self.row_len)
        for value, (_, code, off, width) in zip(row, self.columns):
            if isinstance(value, (bytes, bytearray)) or code in TEXT_CODES:
                raw = _fit(_text(value), width)
            elif code == ANNO_FLOAT:
                raw = struct.pack("<f", value)
            else:
                raw = _i32(value)
            end = min(off + len(raw), self.row_len)
            buf[off:end] = raw[:end - off]
        return bytes(buf)

    def _header(self, siz):
        items = [("SIZ", siz),
                 ("SRC", self.row_len if self.src is None else self.src),
                 ("NCO", len(self.columns) if self.nco is None else self.nco),
                 ("NLN", len(self.rows) if self.nln is None else self.nln)]
        for i, (name, code, off, _) in enumerate(self.columns):
            items += [(f"S{i:02d}", name), (f"F{i:02d}", off), (f"T{i:02d}", code)]
        items = [it for it in items if it[0] not in self.drop]
        return param_block(items + self.extra)

    def tobytes(self):
        natural = len(self._header(0))  # int records have a fixed size
        siz = natural if self.siz is None else self.siz
        pad = b"\0" * max(siz - natural, 0)
        return b"".join([self._header(siz), pad] + [self._row(r) for r in self.rows])


def _text(v):
    if isinstance(v, (bytes, bytearray)):
        return bytes(v)
    return str(v).encode("ascii")


def anno_table(columns, rows, row_len=None, **overrides):
    return AnnoTable(columns, rows, row_len, **overrides)


def anno_block(tables, lead=b"\0" * 12, nrp=None, table_offsets=None,
               dir_extra=(), dir_drop=()):
    """Annotation block: 12 unread bytes, the table directory (NRP, F00, ...
    relative to the block start), then each table (AnnoTable or raw bytes)."""
    bodies = [t if isinstance(t, (bytes, bytearray)) else t.tobytes() for t in tables]

    def directory(offsets):
        items = [("NRP", len(bodies) if nrp is None else nrp)]
        items += [(f"F{k:02d}", o) for k, o in enumerate(offsets)]
        items = [it for it in items if it[0] not in set(dir_drop)]
        return param_block(items + list(dir_extra))

    pos = len(lead) + len(directory([0] * len(bodies)))
    offsets = []
    for body in bodies:
        offsets.append(pos)
        pos += len(body)
    return b"".join([lead, directory(table_offsets or offsets)] + bodies)


# ------------------------------------------------------------- the container

def ext_dir(entries, count=None):
    """An extended directory: entries are (type_word, size, offset[, unused])."""
    out = [struct.pack("<qq", len(entries) if count is None else count, 0)]
    for e in entries:
        t, size, off = e[:3]
        out.append(struct.pack("<4q", _wrap64(t), size, off, e[3] if len(e) > 3 else 0))
    return b"".join(out)


class IxarFile:
    """Assembles a file: header, main directory, blocks, extended directory.

        f = IxarFile()
        off = f.add(block_type(param=1, data=4), param_block({...}))
        f.add_entry(block_type(data=4), 10, 4096)      # entry without payload
        f.add_ext(block_type(param=1, data=5), payload)  # extended directory
        f.ext_pointer()     # place the pointer entry here (default: last)
        f.write(path)

    Header overrides: signature, offset_to_directory, number_dir_entries,
    number_ext_entries. Truncate ``tobytes()`` for files cut short.
    """

    def __init__(self, dir_slots=32, signature=SIGNATURE, offset_to_directory=None,
                 number_dir_entries=None, number_ext_entries=None):
        self.dir_slots = dir_slots
        self.signature = signature
        self.offset_to_directory = offset_to_directory
        self.number_dir_entries = number_dir_entries
        self.number_ext_entries = number_ext_entries
        self.entries = []      # [type_word, size, offset]; offset None = ext dir
        self.ext_entries = []  # (type_word, size, offset, unused)
        self.blocks = []
        self.end = HEADER_SIZE + DIR_ENTRY_SIZE * dir_slots
        self._pointer_placed = False

    def place(self, payload, at=None):
        """Append a payload without a directory entry; returns its offset.
        ``at`` puts it at a given offset beyond the current end."""
        if at is not None:
            if at < self.end:
                raise ValueError(f"offset {at} lies before the end {self.end}")
            self.blocks.append(b"\0" * (at - self.end))
            self.end = at
        offset = self.end
        payload = bytes(payload)
        payload += b"\0" * (-len(payload) % 4)
        self.blocks.append(payload)
        self.end += len(payload)
        return offset

    def add_entry(self, type_word, size_in_words, byte_offset):
        if len(self.entries) >= self.dir_slots:
            raise ValueError("directory full: raise dir_slots")
        self.entries.append([type_word, size_in_words, byte_offset])

    def add(self, type_word, payload, size_in_words=None, at=None):
        """Append a block and its main-directory entry; returns its offset."""
        offset = self.place(payload, at)
        size = math.ceil(len(payload) / 4) if size_in_words is None else size_in_words
        self.add_entry(type_word, size, offset)
        return offset

    def add_ext_entry(self, type_word, size_in_words, byte_offset, unused=0):
        self.ext_entries.append((type_word, size_in_words, byte_offset, unused))

    def add_ext(self, type_word, payload, size_in_words=None):
        offset = self.place(payload)
        size = math.ceil(len(payload) / 4) if size_in_words is None else size_in_words
        self.add_ext_entry(type_word, size, offset)
        return offset

    def ext_pointer(self, type_word=None, byte_offset=None, size_in_words=0):
        """Main entry pointing at the extended directory (byte_offset None: the
        one this file writes at its end)."""
        self.add_entry(block_type(extend=EXT_POINTER) if type_word is None else type_word,
                       size_in_words, byte_offset)
        self._pointer_placed = self._pointer_placed or byte_offset is None

    def tobytes(self):
        has_ext = bool(self.ext_entries) or self.number_ext_entries is not None
        if has_ext and not self._pointer_placed:
            self.ext_pointer()
        ext_offset = self.end
        directory = b"".join(
            struct.pack("<3i", t, s, ext_offset if o is None else o)
            for t, s, o in self.entries)
        directory = directory.ljust(DIR_ENTRY_SIZE * self.dir_slots, b"\0")
        header = self.signature + struct.pack(
            "<d3i", 0.0,
            HEADER_SIZE if self.offset_to_directory is None else self.offset_to_directory,
            self.dir_slots,
            len(self.entries) if self.number_dir_entries is None else self.number_dir_entries)
        ext = ext_dir(self.ext_entries, self.number_ext_entries) if has_ext else b""
        return b"".join([header, directory] + self.blocks + [ext])

    def write(self, path):
        with open(path, "wb") as fh:
            fh.write(self.tobytes())
        return str(path)


def _out(f, path):
    return f.tobytes() if path is None else f.write(path)


# ---------------------------------------------------- convenience builders

def _yrange(values):
    a = np.asarray(values, dtype=np.float32)
    return (float(a.min()), float(a.max())) if a.size else (0.0, 0.0)


def spectrum_params(npt, fxv, lxv, mny, mxy, extra=None):
    return [("NPT", npt), ("FXV", float(fxv)), ("LXV", float(lxv)),
            ("MXY", mxy), ("MNY", mny)] + _param_items(extra)


def _side_blocks(f, acq=None, inst=None, inst_sample=0, sample_params=None, ft=None):
    """Acquisition, instrument, sample and FT parameter blocks, where given."""
    for params, word in ((acq, block_type(param=P_ACQUISITION)),
                         (inst, block_type(param=P_INSTRUMENT, sample=inst_sample)),
                         (sample_params, block_type(param=P_SAMPLE)),
                         (ft, block_type(param=P_FT))):
        if params is not None:
            f.add(word, param_block(params))


def single_spectrum(y, fxv, lxv, data_type=D_AB, sample=0, deriv=0, complex=0,
                    extra_params=None, npt=None, mny=None, mxy=None, params=None,
                    acq=None, inst=None, inst_sample=0, sample_params=None, ft=None,
                    f=None):
    """A 2D spectrum: own parameter block, optional side blocks, then the data
    block last in the file (so that cutting the file cuts the spectrum).
    ``params`` replaces the own parameter list entirely."""
    f = IxarFile() if f is None else f
    lo, hi = _yrange(y)
    if params is None:
        params = spectrum_params(len(y) if npt is None else npt, fxv, lxv,
                                 lo if mny is None else mny,
                                 hi if mxy is None else mxy, extra_params)
    kind = dict(complex=complex, sample=sample, data=data_type, deriv=deriv)
    f.add(block_type(param=P_OWN, **kind), param_block(params))
    _side_blocks(f, acq, inst, inst_sample, sample_params, ft)
    f.add(block_type(param=P_DATA, **kind), floats(y))
    return f


def single_spectrum_file(path, y, fxv, lxv, **kw):
    """Bytes of a single-spectrum file, or the file written to path."""
    return _out(single_spectrum(y, fxv, lxv, **kw), path)


def _add_3d(f, data_type, deriv, params, block, anno=None):
    kind = dict(data=data_type, deriv=deriv, extend=EXT_3D)
    f.add(block_type(param=P_OWN, **kind), param_block(params))
    f.add(block_type(param=P_DATA, **kind), block)
    if anno is not None:
        f.add(block_type(extend=EXT_ANNOTATION), anno)
    return f


def image_map(spectra, fxv, lxv, aox=0.0, aoy=0.0, ddx=1.0, ddy=1.0,
              data_type=D_AB, deriv=0, info_size=160, extra_params=None,
              store_table=None, f=None, block_kw=None):
    """Image map from an (NPY, NPX, NPT) array, spectra stored row by row.

    block_kw (here and in the other 3D builders): further keyword arguments
    for block3d, such as header overrides (info_size, block_size,
    block_offset, number_entries) or the gap filler."""
    cube = np.asarray(spectra, dtype=np.float32)
    npy, npx, npt = cube.shape
    lo, hi = _yrange(cube)
    params = spectrum_params(npt, fxv, lxv, lo, hi) + [
        ("AOX", float(aox)), ("AOY", float(aoy)), ("DDX", float(ddx)),
        ("DDY", float(ddy)), ("NPX", npx), ("NPY", npy)] + _param_items(extra_params)
    info = info_record(info_size)
    records = [(s, info) for s in cube.reshape(npy * npx, npt)]
    return _add_3d(IxarFile() if f is None else f, data_type, deriv, params,
                   block3d(records, store_table, **(block_kw or {})))


def image_trc_map(traces, labels, aox=0.0, aoy=0.0, ddx=1.0, ddy=1.0, deriv=0,
                  info_size=200, extra_params=None, f=None, store_table=None,
                  block_kw=None):
    """TRC image: traces of shape (NPY, NPX, ntraces), one record per trace."""
    cube = np.asarray(traces, dtype=np.float32)
    npy, npx, n = cube.shape
    lo, hi = _yrange(cube)
    params = spectrum_params(npx * npy, 0.0, 1.0, lo, hi) + [
        ("AOX", float(aox)), ("AOY", float(aoy)), ("DDX", float(ddx)),
        ("DDY", float(ddy)), ("NPX", npx), ("NPY", npy)] + _param_items(extra_params)
    records = [(cube[:, :, k].ravel(), info_record(info_size, label=labels[k]))
               for k in range(n)]
    return _add_3d(IxarFile() if f is None else f, D_TRC, deriv, params,
                   block3d(records, store_table, **(block_kw or {})))


def time_resolved(spectra, z, fxv, lxv, ztx="Time (s)", data_type=D_AB, deriv=0,
                  info_size=160, extra_params=None, store_table=None, f=None,
                  block_kw=None):
    """Time-resolved series: (n, NPT) spectra with their z values."""
    arr = np.asarray(spectra, dtype=np.float32)
    lo, hi = _yrange(arr)
    params = spectrum_params(arr.shape[1], fxv, lxv, lo, hi,
                             [("ZTX", ztx)] + _param_items(extra_params))
    records = [(s, info_record(info_size, z=zv)) for s, zv in zip(arr, z)]
    return _add_3d(IxarFile() if f is None else f, data_type, deriv, params,
                   block3d(records, store_table, **(block_kw or {})))


def trc_series(traces, labels, fxv=0.0, lxv=1.0, deriv=0, info_size=200,
               extra_params=None, store_table=None, f=None, block_kw=None):
    """Time-resolved TRC traces: (n, NPT) traces with their labels."""
    arr = np.asarray(traces, dtype=np.float32)
    lo, hi = _yrange(arr)
    params = spectrum_params(arr.shape[1], fxv, lxv, lo, hi, extra_params)
    records = [(t, info_record(info_size, label=l)) for t, l in zip(arr, labels)]
    return _add_3d(IxarFile() if f is None else f, D_TRC, deriv, params,
                   block3d(records, store_table, **(block_kw or {})))


REGION_COLUMNS = [("Group", ANNO_INT), ("Type", ANNO_INT), ("AryNX", ANNO_INT),
                  ("AryNY", ANNO_INT), ("AryType", ANNO_INT), ("Fileindex", ANNO_INT),
                  ("X", ANNO_FLOAT), ("Y", ANNO_FLOAT), ("Name", ANNO_TEXT)]


def region_rows(group, xy, first_index, nx=0, ny=0, type_=0, ary_type=0, name=""):
    """Annotation rows of one region: one row per (x, y) point, spectra
    numbered from first_index on."""
    return [(group, type_, nx, ny, ary_type, first_index + n, float(x), float(y), name)
            for n, (x, y) in enumerate(xy)]


def multi_region(spectra, rows, fxv, lxv, start_times=None, data_type=D_AB, deriv=0,
                 labels=None, info_size=None, columns=REGION_COLUMNS,
                 extra_params=None, f=None, store_table=None, anno=None,
                 block_kw=None):
    """Multi-region map: a 3D data block plus an annotation block (extendType 11).

    spectra: (n, NPT) array, record k is spectrum index k. For TRC maps pass
    data_type=D_TRC and labels (one per trace; the points are the columns).
    anno: None builds the block from columns and rows; a list of tables
    (AnnoTable or bytes) or the bytes of a whole block replace it; False
    leaves the annotation block out. store_table as for block3d.
    """
    arr = np.asarray(spectra, dtype=np.float32)
    lo, hi = _yrange(arr)
    params = spectrum_params(arr.shape[1], fxv, lxv, lo, hi, extra_params)
    size = info_size or (200 if labels is not None else 160)
    times = start_times if start_times is not None else [0.0] * len(arr)
    records = [(s, info_record(size, z=t, label=None if labels is None else labels[k]))
               for k, (s, t) in enumerate(zip(arr, times))]
    if anno is None:
        anno = anno_block([anno_table(columns, rows)])
    elif anno is False:
        anno = None
    elif not isinstance(anno, (bytes, bytearray)):
        anno = anno_block(anno)
    return _add_3d(IxarFile() if f is None else f, data_type, deriv, params,
                   block3d(records, store_table, **(block_kw or {})), anno)
