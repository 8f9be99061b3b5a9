"""Builds IXAR files for the tests, the benchmarks and the sample data; overrides of the fields a reader trusts
make damaged ones. Layout: 24-byte header, ``dir_slots`` 12-byte directory slots, the blocks padded to 4 bytes,
then the extended directory, if any. Offsets inside 3D data and annotation blocks are block-relative."""

import math
import pathlib
import struct

import numpy as np

SIGNATURE = b"\x0a\x0a\xfe\xfe"
EXT_3D, EXT_ANNOTATION, EXT_POINTER = 10, 11, 64                          # extendType
P_DATA, P_OWN, P_INSTRUMENT, P_ACQUISITION, P_FT, P_SAMPLE = 0, 1, 2, 3, 4, 10  # paramType
D_SC, D_AB, D_TRC = 1, 4, 7                                               # dataType
ANNO_INT, ANNO_FLOAT, ANNO_TEXT = 4, 5, 1004
TEXT_CODES = (1004, 1005, 1011)
END = b"END\0"
_FIELDS = (("complex", 0, 2), ("sample", 2, 2), ("param", 4, 6), ("data", 10, 7),
           ("deriv", 17, 2), ("extend", 19, 7), ("high", 26, 6))  # name, shift, bits


def block_type(complex=0, sample=0, param=0, data=0, deriv=0, extend=0, high=0):
    """The 32-bit block type word, as the signed int the main directory holds."""
    values = locals()
    if bad := [name for name, _, width in _FIELDS if not 0 <= values[name] < (1 << width)]:
        raise ValueError(f"{bad[0]}={values[bad[0]]} does not fit")
    word = sum(values[name] << shift for name, shift, _ in _FIELDS)
    return word - (1 << 32) if word & 0x80000000 else word


def _ascii(v):
    return bytes(v) if isinstance(v, (bytes, bytearray)) else str(v).encode("ascii")


def _fit(raw, width):
    return raw[:width].ljust(width, b"\0")


def _items(params):
    return [] if params is None else list(params.items() if isinstance(params, dict) else params)


def rec_raw(name, type_code, size, value_bytes=b""):
    """One parameter record: name (at most 4 bytes), int16 type code, int16 size in words, value."""
    if len(raw := _ascii(name)) > 4:
        raise ValueError(f"parameter name {name!r} longer than 4 bytes")
    return raw.ljust(4, b"\0") + struct.pack("<hh", type_code, size) + bytes(value_bytes)


def rec_int(name, value, size=2):
    return rec_raw(name, 0, size, struct.pack("<i", value))


def rec_double(name, value, size=4):
    return rec_raw(name, 1, size, struct.pack("<d", value))


def rec_text(name, text, size_words=None, type_code=2):
    """Text of 2 * size_words bytes, NUL padded or cut (default: the text and a NUL); negative: as it is."""
    raw = _ascii(text)
    size_words = len(raw) // 2 + 1 if size_words is None else size_words
    return rec_raw(name, type_code, size_words, raw if size_words < 0 else _fit(raw, 2 * size_words))


def param_block(params, end=True):
    """Parameter block from a dict or (name, value) pairs and record bytes."""
    def record(name, v):
        if isinstance(v, (str, bytes)):
            return rec_text(name, v)
        return rec_double(name, v) if isinstance(v, (float, np.floating)) else rec_int(name, int(v))
    out = [bytes(i) if isinstance(i, (bytes, bytearray)) else record(*i) for i in _items(params)]
    return b"".join(out + [END] * end)


def floats(values):   # little-endian float32 bytes
    return np.asarray(values, dtype="<f4").tobytes()


def special_floats(shape, seed=0):
    """Random float32 values led by -0, a subnormal, infinities and a NaN payload."""
    a = np.random.default_rng(seed).standard_normal(shape).astype(np.float32).ravel()
    bits = np.array([0x80000000, 1, 0x7F800000, 0xFF800000, 0x7FC12345], np.uint32).view(np.float32)
    a[:min(len(bits), a.size)] = bits[:a.size]
    return a.reshape(shape)


def info_record(size=160, z=None, label=None):
    """Info record of a 3D spectrum: float64 z at byte 136, label from 152 on."""
    buf = bytearray(max(size, 160))
    buf[136:144] = struct.pack("<d", 0.0 if z is None else z)
    if label is not None:
        buf[152:max(size, 152)] = _fit(_ascii(label), max(size - 152, 0))
    return bytes(buf[:size])


def block3d(records, store_table=None, block_offset=None, block_size=None, info_size=None, version=0, stored_blocks=None,
            number_entries=None):
    """3D data block of (values, info bytes) records in file order; store_table: [first, last] runs taking the
    next records, [-1, n] gaps of n bytes 0xA5, records left over follow; a larger block_offset moves them."""
    records = [(v if isinstance(v, (bytes, bytearray)) else floats(v), bytes(i)) for v, i in records]
    store_table = ([[0, len(records) - 1]] if records else []) if store_table is None else store_table
    area, pos = [], 0
    for first, second in store_table:
        n = max(second, 0) if first == -1 else max(second - first + 1, 0)
        area += [b"\xa5" * n] if first == -1 else [b"".join(r) for r in records[pos:pos + n]]
        pos += 0 if first == -1 else n
    area += [b"".join(r) for r in records[pos:]]
    table = b"".join(struct.pack("<ii", a, b) for a, b in store_table)
    natural = 24 + len(table)
    block_offset = natural if block_offset is None else block_offset
    data, info = records[0] if records else (b"", b"")
    header = struct.pack(
        "<6i", version, len(records) if stored_blocks is None else stored_blocks, block_offset,
        len(data) if block_size is None else block_size, len(info) if info_size is None else info_size,
        len(store_table) if number_entries is None else number_entries)
    return b"".join([header, table, b"\0" * max(block_offset - natural, 0)] + area)


def anno_table(columns, rows, row_len=None, src=None, nco=None, nln=None, extra=()):
    """Annotation table: header, rows. columns: (name, type_code[, offset]), by default back to back, 4 bytes a
    number, a text its longest value and a NUL rounded up to 4; src/nco/nln/extra: header values, more items."""
    cols, offset = [], 0
    for i, (name, code, *at) in enumerate(columns):
        width = (max([len(_ascii(r[i])) for r in rows] + [0]) + 4) // 4 * 4 if code in TEXT_CODES else 4
        cols.append((name, code, offset := at[0] if at else offset, width))
        offset += width
    row_len = max([o + w for _, _, o, w in cols] + [0]) if row_len is None else row_len
    items = [("SIZ", 0), ("SRC", row_len if src is None else src),
             ("NCO", len(cols) if nco is None else nco), ("NLN", len(rows) if nln is None else nln)]
    for i, (name, code, off, _) in enumerate(cols):
        items += [(f"S{i:02d}", name), (f"F{i:02d}", off), (f"T{i:02d}", code)]
    items[0] = ("SIZ", len(param_block(items + list(extra))))  # int records: fixed size
    out = [param_block(items + list(extra))]
    for r in rows:
        buf = bytearray(row_len)
        for value, (_, code, off, width) in zip(r, cols):
            text = isinstance(value, (bytes, bytearray)) or code in TEXT_CODES
            raw = _fit(_ascii(value), width) if text else struct.pack("<f" if code == ANNO_FLOAT else "<i", value)
            end = min(off + len(raw), row_len)
            buf[off:end] = raw[:end - off]
        out.append(bytes(buf))
    return b"".join(out)


def anno_block(tables, nrp=None, dir_extra=()):
    """Annotation block: 12 unread bytes, the table directory (NRP, F00, ... from the block start), tables."""
    def directory(offsets):
        items = [("NRP", len(tables) if nrp is None else nrp)] + [(f"F{k:02d}", o) for k, o in enumerate(offsets)]
        return param_block(items + list(dir_extra))

    start = 12 + len(directory([0] * len(tables)))
    offsets = [start + sum(map(len, tables[:k])) for k in range(len(tables))]
    return b"".join([bytes(12), directory(offsets)] + list(tables))


def ext_dir(entries, count=None):   # entries: (type_word, size, offset[, unused])
    out = [struct.pack("<qq", len(entries) if count is None else count, 0)]
    for t, size, off, *unused in entries:
        t &= (1 << 64) - 1
        out.append(struct.pack("<4q", t - (1 << 64) if t >> 63 else t, size, off, *(unused or [0])))
    return b"".join(out)


class IxarFile:
    """A file of blocks with main (add) or extended (add(..., ext=True)) entries, or bare entries; tobytes() or write()."""

    def __init__(self, dir_slots=32, number_dir_entries=None, number_ext_entries=None):
        self.dir_slots, self.end, self._pointer_placed = dir_slots, 24 + 12 * dir_slots, False
        self.number_dir_entries, self.number_ext_entries = number_dir_entries, number_ext_entries
        self.entries, self.ext_entries, self.blocks = [], [], []  # entry offset None: the ext dir

    def place(self, payload):   # a payload without a directory entry; returns its offset
        offset, payload = self.end, bytes(payload)
        self.blocks.append(payload + b"\0" * (-len(payload) % 4))
        self.end += len(self.blocks[-1])
        return offset

    def add_entry(self, type_word, size_in_words, byte_offset):
        if len(self.entries) >= self.dir_slots:
            raise ValueError("directory full: raise dir_slots")
        self.entries.append([type_word, size_in_words, byte_offset])

    def add_ext_entry(self, *entry):   # type word, size in words, byte offset
        self.ext_entries.append(entry)

    def add(self, type_word, payload, ext=False):
        """Append a block and its main (or extended) directory entry; returns its offset."""
        (self.add_ext_entry if ext else self.add_entry)(type_word, math.ceil(len(payload) / 4), offset := self.place(payload))
        return offset

    def ext_pointer(self, type_word=None):   # main entry pointing at the extended directory written at the end
        self.add_entry(block_type(extend=EXT_POINTER) if type_word is None else type_word, 0, None)
        self._pointer_placed = True

    def tobytes(self):
        has_ext = bool(self.ext_entries) or self.number_ext_entries is not None
        if has_ext and not self._pointer_placed:
            self.ext_pointer()
        directory = b"".join(struct.pack("<3i", t, s, self.end if o is None else o)
                             for t, s, o in self.entries).ljust(12 * self.dir_slots, b"\0")
        count = len(self.entries) if self.number_dir_entries is None else self.number_dir_entries
        header = SIGNATURE + struct.pack("<d3i", 0.0, 24, self.dir_slots, count)
        ext = ext_dir(self.ext_entries, self.number_ext_entries) if has_ext else b""
        return b"".join([header, directory] + self.blocks + [ext])

    def write(self, path):
        pathlib.Path(path).write_bytes(self.tobytes())
        return str(path)


# The x unit the writer's data sets carry unless their parameters name one,
# as the samples do: wavenumbers for spectra, seconds for the traces of a
# series, none for trace maps (None).
X_UNIT = "WN"


def spectrum_params(npt, fxv, lxv, mny, mxy, extra=None, x_unit=X_UNIT):
    extra = _items(extra)
    unit = [("DXU", x_unit)] if x_unit and not any(isinstance(kv, tuple) and kv[0] == "DXU" for kv in extra) else []
    return [("NPT", npt), ("FXV", float(fxv)), ("LXV", float(lxv)), ("MXY", mxy), ("MNY", mny)] + unit + extra


def _params(values, npt, fxv, lxv, extra, x_unit=X_UNIT):
    """Own parameters of a spectrum or 3D block: MNY and MXY from the values."""
    a = np.asarray(values, dtype=np.float32)
    lo, hi = (float(a.min()), float(a.max())) if a.size else (0.0, 0.0)
    return spectrum_params(npt, fxv, lxv, lo, hi, extra, x_unit)


def single_spectrum(y, fxv, lxv, data_type=D_AB, sample=0, deriv=0, complex=0, extra_params=None, npt=None, mny=None,
                    mxy=None, params=None, acq=None, inst=None, inst_sample=0, sample_params=None, ft=None, f=None):
    """A 2D spectrum: own parameters (``params`` replaces their list), side blocks, the data block last."""
    f = IxarFile() if f is None else f
    if params is None:
        params = _params(y, len(y) if npt is None else npt, fxv, lxv, extra_params)
        params[3:5] = [("MXY", params[3][1] if mxy is None else mxy), ("MNY", params[4][1] if mny is None else mny)]
    kind = dict(complex=complex, sample=sample, data=data_type, deriv=deriv)
    f.add(block_type(param=P_OWN, **kind), param_block(params))
    for side, word in ((acq, block_type(param=P_ACQUISITION)), (inst, block_type(param=P_INSTRUMENT, sample=inst_sample)),
                       (sample_params, block_type(param=P_SAMPLE)), (ft, block_type(param=P_FT))):
        if side is not None:
            f.add(word, param_block(side))
    f.add(block_type(param=P_DATA, **kind), floats(y))
    return f


def _add_3d(values, npt, fxv, lxv, records, data_type=D_AB, deriv=0, extra_params=None, store_table=None, f=None,
            block_kw=None, anno=None, grid=None):
    """Own parameters (with the grid of an image), the 3D data block and an annotation block if given."""
    f, extra = IxarFile() if f is None else f, _items(extra_params)
    if grid is not None:
        extra = [(k, float(v)) for k, v in zip(("AOX", "AOY", "DDX", "DDY"), grid[:4])] + [
            ("NPX", grid[4]), ("NPY", grid[5])] + extra
    kind = dict(data=data_type, deriv=deriv, extend=EXT_3D)
    unit = X_UNIT if data_type != D_TRC else None if grid is not None or anno is not None else "SEC"
    f.add(block_type(param=P_OWN, **kind), param_block(_params(values, npt, fxv, lxv, extra, unit)))
    f.add(block_type(param=P_DATA, **kind), block3d(records, store_table, **(block_kw or {})))
    if anno is not None:
        f.add(block_type(extend=EXT_ANNOTATION), anno)
    return f


# The builders of each 3D family; kw: data_type, deriv, extra_params, store_table, f, block_kw (those of _add_3d).

def image_map(spectra, fxv, lxv, aox=0.0, aoy=0.0, ddx=1.0, ddy=1.0, info_size=160, **kw):
    """Image map from an (NPY, NPX, NPT) array, spectra stored row by row."""
    cube = np.asarray(spectra, dtype=np.float32)
    npy, npx, npt = cube.shape
    records = [(s, info_record(info_size)) for s in cube.reshape(npy * npx, npt)]
    return _add_3d(cube, npt, fxv, lxv, records, grid=(aox, aoy, ddx, ddy, npx, npy), **kw)


def image_trc_map(traces, labels, aox=0.0, aoy=0.0, ddx=1.0, ddy=1.0, info_size=200, **kw):
    """TRC image: traces of shape (NPY, NPX, ntraces), one record per trace."""
    cube = np.asarray(traces, dtype=np.float32)
    npy, npx, n = cube.shape
    records = [(cube[:, :, k].ravel(), info_record(info_size, label=labels[k])) for k in range(n)]
    return _add_3d(cube, npx * npy, 0.0, 1.0, records, D_TRC, grid=(aox, aoy, ddx, ddy, npx, npy), **kw)


def time_resolved(spectra, z, fxv, lxv, ztx="Time (s)", info_size=160, extra_params=None, **kw):
    """Time-resolved series: (n, NPT) spectra with their z values."""
    arr = np.asarray(spectra, dtype=np.float32)
    records = [(s, info_record(info_size, z=zv)) for s, zv in zip(arr, z)]
    return _add_3d(arr, arr.shape[1], fxv, lxv, records, extra_params=[("ZTX", ztx)] + _items(extra_params), **kw)


def trc_series(traces, labels, fxv=0.0, lxv=1.0, info_size=200, **kw):
    """Time-resolved TRC traces: (n, NPT) traces with their labels."""
    arr = np.asarray(traces, dtype=np.float32)
    records = [(t, info_record(info_size, label=lb)) for t, lb in zip(arr, labels)]
    return _add_3d(arr, arr.shape[1], fxv, lxv, records, D_TRC, **kw)


REGION_COLUMNS = [(name, ANNO_INT) for name in ("Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex")] + [
    ("X", ANNO_FLOAT), ("Y", ANNO_FLOAT), ("Name", ANNO_TEXT)]


def region_rows(group, xy, first_index, nx=0, ny=0, type_=0, ary_type=0, name=""):   # a row per (x, y) point
    return [(group, type_, nx, ny, ary_type, first_index + n, float(x), float(y), name) for n, (x, y) in enumerate(xy)]


def multi_region(spectra, rows, fxv, lxv, start_times=None, labels=None, info_size=None, columns=REGION_COLUMNS,
                 anno=None, **kw):
    """Multi-region map: 3D data block (record k: spectrum k) and annotations from columns and rows, or ``anno``
    (a list of tables, block bytes, or False: none)."""
    arr = np.asarray(spectra, dtype=np.float32)
    size = info_size or (200 if labels is not None else 160)
    times = [0.0] * len(arr) if start_times is None else start_times
    records = [(s, info_record(size, z=t, label=None if labels is None else labels[k]))
               for k, (s, t) in enumerate(zip(arr, times))]
    if anno is None or isinstance(anno, list):
        anno = anno_block([anno_table(columns, rows)] if anno is None else anno)
    return _add_3d(arr, arr.shape[1], fxv, lxv, records, anno=anno or None, **kw)
