"""A plain reader that the benchmark checks ixarkit's results against.

It walks the file with struct and reads every spectrum with its own
np.fromfile at its own offset, then stacks: slow, short and easy to trust.
It knows what the benchmark files hold (AB and TRC blocks, no extended
directory) and returns the expected attributes of a result as a dict (a list
of such dicts for regions).
"""

import struct
from collections import deque

import numpy as np

DERIVS = ("NONE", "1DER", "2DER", "3DER")
LEADING = ("AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS")
NAMES = {12: "REFL", 10: "RAM", 17: "PAS", 15: "LREFL", 6: "KM", 5: "TR", 11: "EMIS",
         16: "ATR", 18: "TRARI", 19: "ABARI", 4: "AB", 7: "TRC"}
PAIRED = {14: ("SPOW", "RPOW"), 3: ("SPH", "RPH"), 2: ("SIFG", "RIFG"), 1: ("SSC", "RSC")}


def directory(path):
    """[((sample, param, data, deriv, extend), offset)] of the main directory."""
    with open(path, "rb") as fh:
        start, _, count = struct.unpack_from("<3i", fh.read(24), 12)
        fh.seek(start)
        raw = np.fromfile(fh, "<i4", 3 * max(count, 0)).reshape(-1, 3)
    return [(tuple((int(t) >> s) & m for s, m in ((2, 3), (4, 63), (10, 127), (17, 3), (19, 127))),
             int(off)) for t, _, off in raw]


def listing(path, kind=None):
    out = deque()
    for (sample, param, data, deriv, extend), _ in directory(path):
        name = PAIRED[data][sample - 1] if data in PAIRED and sample in (1, 2) else NAMES.get(data)
        if param == 1 and name:
            item = (name, "3D" if extend == 10 else "2D", DERIVS[deriv])
            out.appendleft(item) if name in LEADING else out.append(item)
    return list(out)


def _text(raw):
    return raw.split(b"\0")[0].decode("ascii")


def params(fh, offset):
    fh.seek(offset)
    out = {}
    while (name := fh.read(4).decode().strip("\0")) != "END":
        code, size = struct.unpack("<hh", fh.read(4))
        out[name] = (struct.unpack("<i", fh.read(4))[0] if code == 0 else
                     struct.unpack("<d", fh.read(8))[0] if code == 1 else _text(fh.read(2 * size)))
    return out


class Block:
    """The underived block of a kind without sample/reference variants:
    merged parameters, and for 3D blocks the record offsets in store-table
    order and the extent of the record area."""

    def __init__(self, path, kind, dim="3D"):
        roles = {}
        for (sample, param, data, deriv, extend), off in directory(path):
            if (data, deriv, extend) == ({"AB": 4, "TRC": 7}[kind], 0, 10 if dim == "3D" else 0):
                roles.update({param: off} if param in (0, 1) else {})
            elif param in (3, 2, 10, 4):  # acquisition, instrument, sample, FT
                roles.update({param: off} if param != 2 or sample == 0 else {})
            elif extend == 11:
                roles["anno"] = off
        self.fh = open(path, "rb")
        self.params = params(self.fh, roles[1])
        for side in (3, 2, 10, 4):
            self.params.update(params(self.fh, roles[side]) if side in roles else {})
        self.npt, self.data, self.anno = self.params["NPT"], roles[0], roles.get("anno")
        if dim == "3D":
            self.fh.seek(self.data)
            _, _, start, size, self.info, n = struct.unpack("<6i", self.fh.read(24))
            table = struct.unpack(f"<{2 * n}i", self.fh.read(8 * n))
            self.area_start = pos = self.data + start
            self.records = []  # (index, offset)
            for first, last in zip(table[::2], table[1::2]):
                if first == -1:  # a gap of `last` bytes
                    pos += last
                    continue
                for k in range(first, last + 1):
                    self.records.append((k, pos))
                    pos += size + self.info
            self.area_bytes = pos - self.area_start

    def spectrum(self, offset):
        self.fh.seek(offset)
        return np.fromfile(self.fh, np.float32, self.npt)

    def z(self, offset):
        self.fh.seek(offset + 4 * self.npt + 136)
        return struct.unpack("<d", self.fh.read(8))[0]

    def label(self, offset):
        self.fh.seek(offset + 4 * self.npt + 152)
        return _text(self.fh.read(self.info - 152))

    def base(self):
        p = self.params
        return dict(x=np.linspace(p["FXV"], p["LXV"], p["NPT"]), parameters=p,
                    minY=p["MNY"], maxY=p["MXY"])


def single(path, kind="AB"):
    b = Block(path, kind, "2D")
    return dict(b.base(), y=b.spectrum(b.data))


def image(path, kind):
    b = Block(path, kind)
    p = b.params
    npx, npy = p["NPX"], p["NPY"]
    out = dict(b.base(), mapX=np.linspace(p["AOX"], p["AOX"] + p["DDX"] * (npx - 1), npx),
               mapY=np.linspace(p["AOY"], p["AOY"] + p["DDY"] * (npy - 1), npy))
    if kind == "TRC":
        return dict(out, traces=np.dstack([b.spectrum(o).reshape(npy, npx) for _, o in b.records]),
                    labels=[b.label(o) for _, o in b.records])
    spectra = np.zeros((npy, npx, b.npt), np.float32)
    for n, (_, off) in enumerate(b.records):
        spectra[n // npx, n % npx] = b.spectrum(off)
    return dict(out, spectra=spectra)


def time_resolved(path, kind):
    b = Block(path, kind)
    offsets = dict(b.records).values()
    stack = np.vstack([b.spectrum(o) for o in offsets])
    if kind == "TRC":
        return dict(b.base(), traces=stack, labels=[b.label(o) for o in offsets])
    return dict(b.base(), spectra=stack, z=np.array([b.z(o) for o in offsets]))


def annotations(fh, offset):
    out, tables = {}, params(fh, offset + 12)
    for k in range(tables["NRP"]):
        at = offset + tables[f"F{k:02d}"]
        head = params(fh, at)
        cols = [(head[f"S{i:02d}"], head[f"F{i:02d}"], head[f"T{i:02d}"])
                for i in range(head["NCO"])]
        # every text field is read with the width of the widest text column
        width = max([head["SRC"] - off for _, off, t in cols if t in (1004, 1005, 1011)],
                    default=-1)
        out.update({name: [] for name, _, _ in cols})
        for row in range(head["NLN"]):
            fh.seek(at + head["SIZ"] + row * head["SRC"])
            for name, _, t in cols:
                out[name].append(struct.unpack("<i", fh.read(4))[0] if t == 4 else
                                 struct.unpack("<f", fh.read(4))[0] if t == 5 else
                                 _text(fh.read(width)))
    return out


def multi_region(path, kind):
    b = Block(path, kind)
    anno, offsets = annotations(b.fh, b.anno), dict(b.records)
    group, out = anno["Group"], dict(b.base(), regions=[])
    if kind == "TRC":
        traces = np.vstack([b.spectrum(o) for o in offsets.values()])
        out["labels"] = [b.label(o) for o in offsets.values()]
    for first in [group.index(g) for g in set(group)]:
        if anno["Type"][first] != 0:
            continue
        g, nx, ny = group[first], anno["AryNX"][first], anno["AryNY"][first]
        loose = nx * ny == 0 and anno["AryType"][first] == 0
        n = group.count(g) if loose else nx * ny
        rows = range(first, first + n)
        index = [anno["Fileindex"][r] for r in rows]
        region = dict(title=f"Region {g} ({n} points)" if loose else f"Region {g} ({nx} x {ny})",
                      mapX=np.array([anno["X"][r] for r in rows]),
                      mapY=np.array([anno["Y"][r] for r in rows]))
        if kind == "TRC":
            region.update(start_time=None, spectra=np.array([traces[:, k - 1] for k in index]))
        else:
            region.update(start_time=np.array([b.z(offsets[k]) for k in index]),
                          spectra=np.array([b.spectrum(offsets[k]) for k in index]))
        out["regions"].append(region)
    return out
