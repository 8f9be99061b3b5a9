// Multi-region point maps: the annotation table lists every measured point
// with its region (Group), the region's grid size, the point's coordinates
// and its spectrum (Fileindex). Regions come in the order the interpreter's
// set yields the distinct group numbers; a region whose first row has a
// Type other than 0 is left out.
#include "container/annotations.hpp"
#include "container/store3d.hpp"
#include "extract/bulk.hpp"
#include "extract.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace ixbind {

namespace {

using ixar::AnnoCell;
using ixar::AnnoColumn;
using ixar::Annotations;

PyObject* cellObject(const Annotations& a, const AnnoCell& cell) {
    switch (cell.kind) {
        case AnnoCell::Kind::Int: return PyLong_FromLong(cell.i);
        case AnnoCell::Kind::Float: return PyFloat_FromDouble(cell.f);
        case AnnoCell::Kind::Text: {
            const std::string& s = a.texts[cell.text];
            return PyUnicode_DecodeASCII(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
        }
    }
    Py_RETURN_NONE;
}

// annotations[name], as a KeyError when the table has no such column.
const AnnoColumn* column(const Annotations& a, const char* name) {
    const AnnoColumn* col = a.find(name);
    if (!col) {
        Ref key(PyUnicode_FromString(name));
        if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    }
    return col;
}

// annotations[name][row], as the interpreter's IndexError past the end;
// col caches the column between calls (a KeyError when there is none).
const AnnoCell* cellAt(const Annotations& a, const char* name, int64_t row, const AnnoColumn*& col) {
    if (!col && !(col = column(a, name))) return nullptr;
    if (row < 0 || row >= static_cast<int64_t>(col->cells.size())) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return &col->cells[static_cast<size_t>(row)];
}

const AnnoCell* cellAt(const Annotations& a, const char* name, int64_t row) {
    const AnnoColumn* col = nullptr;
    return cellAt(a, name, row, col);
}

// cell == 0 by the interpreter's rules (a text never equals 0).
bool isZeroCell(const AnnoCell& cell) {
    switch (cell.kind) {
        case AnnoCell::Kind::Int: return cell.i == 0;
        case AnnoCell::Kind::Float: return cell.f == 0.0;
        case AnnoCell::Kind::Text: return false;
    }
    return false;
}

PyObject* columnList(const Annotations& a, const AnnoColumn& col) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(col.cells.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < col.cells.size(); ++i) {
        PyObject* v = cellObject(a, col.cells[i]);
        if (!v) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), v);
    }
    return out.release();
}

// mapX[n] = value: numbers go straight in, texts through numpy's conversion.
bool storeCoordinate(const Annotations& a, const AnnoCell& cell, PyObject* array, double* data, int64_t n) {
    if (cell.kind == AnnoCell::Kind::Int) {
        data[n] = cell.i;
        return true;
    }
    if (cell.kind == AnnoCell::Kind::Float) {
        data[n] = cell.f;
        return true;
    }
    Ref value(cellObject(a, cell));
    Ref index(PyLong_FromLongLong(n));
    return value && index && PyObject_SetItem(array, index.get(), value.get()) == 0;
}

// The raises of dataBlockOffsets[findex]: a KeyError for anything the map
// does not hold. Returns the position in the map, or -1 with an exception set.
int64_t spectrumOf(const Annotations& a, const AnnoCell& cell, const ixar::OffsetMap& map) {
    int64_t pos = -1;
    if (cell.kind == AnnoCell::Kind::Int) pos = map.find(cell.i);
    // A float equal to an index finds it, as it would in a dict.
    else if (cell.kind == AnnoCell::Kind::Float && std::isfinite(cell.f) && cell.f == std::floor(cell.f) &&
             std::fabs(cell.f) < 4e9)
        pos = map.find(static_cast<int64_t>(cell.f));
    if (pos < 0) {
        Ref key(cellObject(a, cell));
        if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    }
    return pos;
}

// The Group column: its distinct values in the order the interpreter's set
// yields them, the first row of each, and how many rows each has. A column
// of integers (the usual case) is handled without a Python object per row;
// anything else goes through a list of the values, with the interpreter's
// comparisons.
class Groups {
public:
    bool build(const Annotations& a, const AnnoColumn& col) {
        native_ = std::all_of(col.cells.begin(), col.cells.end(),
                              [](const AnnoCell& c) { return c.kind == AnnoCell::Kind::Int; });
        Ref set(PySet_New(nullptr));
        if (!set) return false;
        if (native_) {
            // Adding each distinct value once, in the order of first
            // appearance, leaves the set as set(column) would.
            for (size_t row = 0; row < col.cells.size(); ++row) {
                auto [it, fresh] = stats_.emplace(col.cells[row].i, Stat{static_cast<int64_t>(row), 0});
                ++it->second.count;
                if (fresh) {
                    Ref v(PyLong_FromLong(col.cells[row].i));
                    if (!v || PySet_Add(set.get(), v.get()) < 0) return false;
                }
            }
        } else {
            list_ = Ref(columnList(a, col));
            if (!list_) return false;
            set = Ref(PySet_New(list_.get()));
            if (!set) return false;
        }
        Ref it(PyObject_GetIter(set.get()));
        if (!it) return false;
        while (Ref g{PyIter_Next(it.get())}) {
            Py_ssize_t row = native_ ? static_cast<Py_ssize_t>(stats_.at(static_cast<int32_t>(PyLong_AsLong(g.get()))).first)
                                     : PySequence_Index(list_.get(), g.get());
            if (row < 0) return false;
            firstRows.push_back(row);
        }
        return !PyErr_Occurred();
    }

    // column.count(group)
    Py_ssize_t count(PyObject* group) const {
        if (!native_) return PySequence_Count(list_.get(), group);
        int overflow = 0;
        long long g = PyLong_AsLongLongAndOverflow(group, &overflow);
        if (g == -1 && PyErr_Occurred()) return -1;
        if (overflow || g < INT32_MIN || g > INT32_MAX) return 0;
        auto it = stats_.find(static_cast<int32_t>(g));
        return it == stats_.end() ? 0 : static_cast<Py_ssize_t>(it->second.count);
    }

    std::vector<int64_t> firstRows;  // of each region, in set order

private:
    struct Stat {
        int64_t first;
        int64_t count;
    };
    bool native_ = false;
    Ref list_;
    std::unordered_map<int32_t, Stat> stats_;
};

struct RegionInfo {
    int64_t firstRow = 0;
    Ref title;
    Ref nspec;  // the number of points, as the annotations give it
};

// Steps 1 to 3 of a region: whether it is exported, its title and its
// number of points. False with an exception set; skip for a region that is
// left out.
bool describeRegion(const Annotations& a, const Groups& groups, int64_t firstRow, RegionInfo& info, bool& skip) {
    const AnnoCell* type = cellAt(a, "Type", firstRow);
    if (!type) return false;
    skip = !isZeroCell(*type);
    if (skip) return true;
    const AnnoCell* groupCell = cellAt(a, "Group", firstRow);
    if (!groupCell) return false;
    Ref groupValue(cellObject(a, *groupCell));
    if (!groupValue) return false;
    // The group number is held as a C int.
    Ref group(PyNumber_Index(groupValue.get()));
    if (!group) return false;
    int overflow = 0;
    long long g = PyLong_AsLongLongAndOverflow(group.get(), &overflow);
    if (g == -1 && PyErr_Occurred()) return false;
    if (overflow || g < INT32_MIN || g > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    const AnnoCell* nxCell = cellAt(a, "AryNX", firstRow);
    if (!nxCell) return false;
    Ref npx(cellObject(a, *nxCell));
    if (!npx) return false;
    const AnnoCell* nyCell = cellAt(a, "AryNY", firstRow);
    if (!nyCell) return false;
    Ref npy(cellObject(a, *nyCell));
    if (!npy) return false;
    info.nspec = Ref(PyNumber_Multiply(npx.get(), npy.get()));
    if (!info.nspec) return false;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return false;
    int empty = PyObject_RichCompareBool(info.nspec.get(), zero.get(), Py_EQ);
    if (empty < 0) return false;
    bool loose = false;
    if (empty) {
        const AnnoCell* aryType = cellAt(a, "AryType", firstRow);
        if (!aryType) return false;
        loose = isZeroCell(*aryType);
    }
    if (loose) {
        // A region of loose points: as many points as rows of its group.
        Py_ssize_t n = groups.count(group.get());
        if (n < 0) return false;
        info.nspec = Ref(PyLong_FromSsize_t(n));
        if (!info.nspec) return false;
        Ref fmt(PyUnicode_FromString("Region {0} ({1} points)"));
        if (!fmt) return false;
        info.title = Ref(PyObject_CallMethod(fmt.get(), "format", "OO", group.get(), info.nspec.get()));
    } else {
        Ref fmt(PyUnicode_FromString("Region {0} ({1} x {2})"));
        if (!fmt) return false;
        info.title = Ref(PyObject_CallMethod(fmt.get(), "format", "OOO", group.get(), npx.get(), npy.get()));
    }
    info.firstRow = firstRow;
    return static_cast<bool>(info.title);
}

// numpy.empty(n) (float64) or numpy.empty((n, m), float32), so that numpy
// judges the number of points. Every element is written before a region is
// handed out, so nothing needs zeroing.
PyObject* arrayFor(State* st, PyObject* n, int64_t columns, bool float32, void** data) {
    if (!float32) return arrayOf(st, n, false, false, data);
    Ref m(PyLong_FromLongLong(columns));
    Ref shape(m ? PyTuple_Pack(2, n, m.get()) : nullptr);
    return shape ? arrayOf(st, shape.get(), true, false, data) : nullptr;
}

// Holds the exception of a point that could not be resolved while the
// points before it are read; a failed read of those comes first.
class HeldError {
public:
    void hold() { PyErr_Fetch(&type_, &value_, &tb_); }
    bool held() const noexcept { return type_ != nullptr; }
    // After the reads: raise the held error unless a read error is set.
    void raise() {
        if (PyErr_Occurred()) drop();
        else PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
    }
    ~HeldError() { drop(); }

private:
    void drop() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

struct MultiRegion {
    Call& c;
    Prologue& p;
    const Annotations& a;
    const ixar::OffsetMap& map;
    bool trc = false;
    int64_t traceCount = 0;
    // TRC: where each point's row of trace values goes, filled once every
    // region is resolved.
    std::vector<ixar::TraceTarget> targets;

    // One region's arrays; the spectra variant reads its points here, the
    // TRC variant only records its targets. nullptr with an exception set.
    PyObject* region(const RegionInfo& info);
    // numpy's IndexError for trace_array[:, findex - 1].
    void raiseTraceIndex(const AnnoCell& findex);
};

void MultiRegion::raiseTraceIndex(const AnnoCell& findex) {
    void* unused;
    Ref shape(newArray(c.st, {traceCount, p.npt}, true, false, &unused));
    Ref value(shape ? cellObject(a, findex) : nullptr);
    Ref one(value ? PyLong_FromLong(1) : nullptr);
    Ref index(one ? PyNumber_Subtract(value.get(), one.get()) : nullptr);
    Ref all(index ? PySlice_New(nullptr, nullptr, nullptr) : nullptr);
    Ref key(all ? PyTuple_Pack(2, all.get(), index.get()) : nullptr);
    if (key) raiseVia(PyObject_GetItem(shape.get(), key.get()));
}

PyObject* MultiRegion::region(const RegionInfo& info) {
    State* st = c.st;
    void *xData, *yData, *tData = nullptr, *rows;
    Ref mapX(arrayFor(st, info.nspec.get(), 0, false, &xData));
    if (!mapX) return nullptr;
    Ref mapY(arrayFor(st, info.nspec.get(), 0, false, &yData));
    if (!mapY) return nullptr;
    Ref startTime;
    if (!trc) {
        startTime = Ref(arrayFor(st, info.nspec.get(), 0, false, &tData));
        if (!startTime) return nullptr;
    }
    Ref spectra(arrayFor(st, info.nspec.get(), trc ? traceCount : p.npt, true, &rows));
    if (!spectra) return nullptr;
    int64_t points;
    if (!lengthOf(info.nspec.get(), points)) return nullptr;
    auto* x = static_cast<double*>(xData);
    auto* y = static_cast<double*>(yData);
    auto* out = static_cast<float*>(rows);

    // Resolve the points up to the first that fails; read the ones before it.
    std::vector<int64_t> offsets;
    HeldError error;
    const AnnoColumn *fileindexColumn = nullptr, *xColumn = nullptr, *yColumn = nullptr;
    for (int64_t n = 0; n < points; ++n) {
        const int64_t row = info.firstRow + n;
        const AnnoCell* findex = cellAt(a, "Fileindex", row, fileindexColumn);
        const AnnoCell* cx = findex ? cellAt(a, "X", row, xColumn) : nullptr;
        bool ok = cx && storeCoordinate(a, *cx, mapX.get(), x, n);
        const AnnoCell* cy = ok ? cellAt(a, "Y", row, yColumn) : nullptr;
        ok = cy && storeCoordinate(a, *cy, mapY.get(), y, n);
        if (ok && !trc) {
            int64_t pos = spectrumOf(a, *findex, map);
            ok = pos >= 0;
            if (ok) offsets.push_back(map.offset[static_cast<size_t>(pos)]);
        } else if (ok) {
            // specArray[n] = trace_array[:, findex - 1], with numpy's indexing.
            int64_t col = -1;
            if (findex->kind == AnnoCell::Kind::Int) {
                col = int64_t{findex->i} - 1;
                if (col < 0) col += p.npt;
            }
            if (col >= 0 && col < p.npt) {
                targets.push_back({out + n * traceCount, static_cast<size_t>(col)});
            } else {
                raiseTraceIndex(*findex);
                ok = false;
            }
        }
        if (!ok) {
            if (trc) return nullptr;  // the caller reads the traces first
            error.hold();
            break;
        }
    }
    if (!trc && !offsets.empty()) {
        ixar::ReadFailures failures;
        bool read = callCore(st, failures, [&] {
            ixar::readRecords(c.file, c.sel.offsetToData, offsets, p.npt, out, static_cast<double*>(tData), failures);
        });
        if (!read) return nullptr;  // the held error, if any, goes with it
    }
    if (error.held()) {
        error.raise();
        return nullptr;
    }
    PyObject* region = st->classes[kRegion];
    return buildResult(region, {{"title", info.title.get()},
                                {"spectra", spectra.get()},
                                {"mapX", mapX.get()},
                                {"mapY", mapY.get()},
                                {"start_time", trc ? Py_None : startTime.get()}});
}

}  // namespace

PyObject* extractMultiRegion(Call& c, Prologue& p) {
    State* st = c.st;
    if (c.sel.offsetToANNO == -1) {
        PyErr_Format(PyExc_ValueError,
                     "3D data block at offset %lld has neither image nor time-resolved parameters, and the file "
                     "holds no annotation block to read it as a multi-region map",
                     static_cast<long long>(c.sel.offsetToData));
        return nullptr;
    }
    Annotations a;
    ixar::OffsetMap map;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] { a = ixar::readAnnotations(c.file, c.sel.offsetToANNO, failures); }) ||
        !callCore(st, failures, [&] {
            map = ixar::buildOffsetMap(ixar::readStoreTable(c.file, c.sel.offsetToData, failures));
        }))
        return nullptr;

    // The first row of each distinct group, in the order of the set of them.
    const AnnoColumn* groupColumn = column(a, "Group");
    Groups groups;
    if (!groupColumn || !groups.build(a, *groupColumn)) return nullptr;

    int isTRC = equalsText(c.dataBlockType, "TRC");
    if (isTRC < 0) return nullptr;
    MultiRegion m{c, p, a, map};
    int32_t infoSize = 0;
    if (isTRC) {
        // The traces come before the regions: the info record size, and
        // numpy's error when there is no trace to stack.
        m.trc = true;
        m.traceCount = static_cast<int64_t>(map.size());
        if (!callCore(st, failures, [&] { infoSize = ixar::readInfoSize(c.file, c.sel.offsetToData, failures); }))
            return nullptr;
        if (map.offset.empty()) return raiseNoRows(st);
    }

    // An error while the TRC regions are resolved waits until the traces
    // have been read, since a damaged trace is reported first.
    HeldError deferred;
    Ref regions(PyList_New(0));
    if (!regions) return nullptr;
    for (int64_t firstRow : groups.firstRows) {
        RegionInfo info;
        bool skip = false;
        Ref r;
        if (describeRegion(a, groups, firstRow, info, skip)) {
            if (skip) continue;
            r = Ref(m.region(info));
        }
        if (!r || PyList_Append(regions.get(), r.get()) < 0) {
            if (!isTRC) return nullptr;
            deferred.hold();
            break;
        }
    }
    Ref labels;
    if (isTRC) {
        std::vector<std::string> names;
        if (!callCore(st, failures, [&] {
                ixar::readTracesScattered(c.file, c.sel.offsetToData, map.offset, p.npt, infoSize, m.targets, names);
            }))
            return nullptr;
        if (deferred.held()) {
            deferred.raise();
            return nullptr;
        }
        labels = Ref(labelList(names));
        if (!labels) return nullptr;
    }

    if (isTRC)
        return buildResult(st->classes[kMultiRegionTRC], {{"dimension", c.dimensions},
                                                          {"dataType", c.dataBlockType},
                                                          {"deriv", c.deriv},
                                                          {"x", p.x.get()},
                                                          {"minY", p.MNY},
                                                          {"maxY", p.MXY},
                                                          {"parameters", p.parameters.get()},
                                                          {"labels", labels.get()},
                                                          {"regions", regions.get()}});
    return buildResult(st->classes[kMultiRegion], {{"dimension", c.dimensions},
                                                   {"dataType", c.dataBlockType},
                                                   {"deriv", c.deriv},
                                                   {"x", p.x.get()},
                                                   {"minY", p.MNY},
                                                   {"maxY", p.MXY},
                                                   {"parameters", p.parameters.get()},
                                                   {"regions", regions.get()}});
}

}  // namespace ixbind
