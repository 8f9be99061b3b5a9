// Image maps: a regular grid of NPX x NPY points with one spectrum each
// (a cube indexed [row][column][x]), or for TRC blocks a stack of trace maps
// (indexed [:, :, trace]) with their labels.
#include "container/store3d.hpp"
#include "extract/bulk.hpp"
#include "extract.hpp"

namespace ixbind {

namespace {

constexpr const char* kMapping[6] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

// The six mapping values from dict, in the order above.
bool mappingFrom(PyObject* dict, PyObject* out[6]) {
    for (int i = 0; i < 6; ++i) {
        Ref key(PyUnicode_FromString(kMapping[i]));
        if (!key) return false;
        out[i] = PyDict_GetItemWithError(dict, key.get());
        if (!out[i]) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            return false;
        }
    }
    return true;
}

int isZero(PyObject* o) {
    Ref zero(PyLong_FromLong(0));
    return zero ? PyObject_RichCompareBool(o, zero.get(), Py_EQ) : -1;
}

// numpy.linspace(origin, origin + step * (n - 1), n), with the arithmetic of
// whatever values the parameters hold.
PyObject* mapAxis(State* st, PyObject* origin, PyObject* step, PyObject* n) {
    Ref one(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref last(PyNumber_Subtract(n, one.get()));
    if (!last) return nullptr;
    Ref span(PyNumber_Multiply(step, last.get()));
    if (!span) return nullptr;
    Ref end(PyNumber_Add(origin, span.get()));
    if (!end) return nullptr;
    PyObject* args[] = {origin, end.get(), n};
    return PyObject_Vectorcall(st->linspace, args, 3, nullptr);
}

}  // namespace

PyObject* extractImage(Call& c, Prologue& p) {
    State* st = c.st;
    PyObject* m[6];  // AOX, AOY, DDX, DDY, NPX, NPY, borrowed from a parameter dict
    if (!mappingFrom(p.parameters.get(), m)) return nullptr;

    // Derivative maps may carry no grid size; the underived block's mapping
    // then stands in, and replaces the six codes in the parameters.
    Ref original;
    int underived = equalsText(c.deriv, "NONE");
    if (underived < 0) return nullptr;
    if (!underived) {
        int noX = isZero(m[4]);
        if (noX < 0) return nullptr;
        int noY = noX ? 0 : isZero(m[5]);
        if (noY < 0) return nullptr;
        if (noX || noY) {
            if (!printLine("Orignal mapping coordinates used")) return nullptr;
            if (c.sel.offsetToOriginalParams == -1) {
                PyErr_Format(PyExc_ValueError,
                             "3D data block at offset %lld: the derivative image has no map size, and the file "
                             "holds no parameter block of the underived data to take the mapping from",
                             static_cast<long long>(c.sel.offsetToData));
                return nullptr;
            }
            original = Ref(PyDict_New());
            if (!original || !addParams(st, c.file, c.sel.offsetToOriginalParams, original.get()) ||
                !mappingFrom(original.get(), m))
                return nullptr;
            for (int i = 0; i < 6; ++i)
                if (PyDict_SetItemString(p.parameters.get(), kMapping[i], m[i]) < 0) return nullptr;
        }
    }
    PyObject *AOX = m[0], *AOY = m[1], *DDX = m[2], *DDY = m[3], *NPX = m[4], *NPY = m[5];
    if (!checkSize(c, "NPX", NPX, 1) || !checkSize(c, "NPY", NPY, 1)) return nullptr;
    Ref mapX(mapAxis(st, AOX, DDX, NPX));
    if (!mapX) return nullptr;
    Ref mapY(mapAxis(st, AOY, DDY, NPY));
    if (!mapY) return nullptr;
    int64_t npx, npy;
    if (!lengthOf(NPX, npx) || !lengthOf(NPY, npy)) return nullptr;

    int isTRC = equalsText(c.dataBlockType, "TRC");
    if (isTRC < 0) return nullptr;
    ixar::ReadFailures failures;

    if (!isTRC) {
        void* cube = nullptr;
        Ref spectra(newArray(st, {npy, npx, p.npt}, true, true, &cube));
        if (!spectra) return nullptr;
        ixar::StoreTable table;
        ixar::ImageStop stop;
        if (!callCore(st, failures, [&] {
                table = ixar::readStoreTable(c.file, c.sel.offsetToData, failures);
                stop = ixar::fillImageCube(c.file, table, c.sel.offsetToData, p.npt, npx, npy,
                                           static_cast<float*>(cube));
            }))
            return nullptr;
        if (stop.kind == ixar::ImageStop::Kind::ZeroDivision) {
            Ref index(PyLong_FromLongLong(stop.index));
            return index ? (raiseVia(PyNumber_Remainder(index.get(), NPX)), nullptr) : nullptr;
        }
        if (stop.kind == ixar::ImageStop::Kind::Index) {
            Ref row(PyLong_FromLongLong(stop.row));
            return row ? (raiseVia(PyObject_GetItem(spectra.get(), row.get())), nullptr) : nullptr;
        }
        return buildResult(st->classes[kImage], {{"dimension", c.dimensions},
                                                 {"dataType", c.dataBlockType},
                                                 {"deriv", c.deriv},
                                                 {"x", p.x.get()},
                                                 {"minY", p.MNY},
                                                 {"maxY", p.MXY},
                                                 {"parameters", p.parameters.get()},
                                                 {"mapX", mapX.get()},
                                                 {"mapY", mapY.get()},
                                                 {"spectra", spectra.get()}});
    }

    ixar::StoreTable table;
    if (!callCore(st, failures, [&] { table = ixar::readStoreTable(c.file, c.sel.offsetToData, failures); }))
        return nullptr;
    // Every trace is one map; when NPT cannot fill one exactly, the first
    // trace fails before anything is stored.
    const bool fits = p.npt == npx * npy;
    void* data = nullptr;
    Ref traces;
    if (fits) {
        traces = Ref(newArray(st, {npy, npx, table.records}, true, false, &data));
        if (!traces) return nullptr;
    }
    std::vector<std::string> labels;
    ixar::TraceStop stop;
    if (!callCore(st, failures, [&] {
            stop = ixar::fillImageTraces(c.file, table, c.sel.offsetToData, p.npt, npx, npy, static_cast<float*>(data),
                                         labels);
        }))
        return nullptr;
    if (stop.stopped) {
        // numpy's own error for a trace that does not reshape to (NPY, NPX).
        void* unused;
        Ref values(newArray(st, {stop.values}, true, false, &unused));
        if (!values) return nullptr;
        Ref shape(PyTuple_Pack(2, NPY, NPX));
        if (!shape) return nullptr;
        Ref reshaped(PyObject_CallMethod(values.get(), "reshape", "(O)", shape.get()));
        if (!reshaped) return nullptr;
        PyErr_Format(PyExc_ValueError, "3D data block at offset %lld: trace %lld holds %lld of its %lld values",
                     static_cast<long long>(c.sel.offsetToData), static_cast<long long>(stop.trace),
                     static_cast<long long>(stop.values), static_cast<long long>(p.npt));
        return nullptr;
    }
    if (table.records == 0) {
        // Stacking no trace maps at all: numpy's error.
        Ref none(PyList_New(0));
        return none ? (raiseVia(PyObject_CallOneArg(st->dstack, none.get())), nullptr) : nullptr;
    }
    Ref labelObjects(labelList(labels));
    if (!labelObjects) return nullptr;
    return buildResult(st->classes[kImageTRC], {{"dimension", c.dimensions},
                                                {"dataType", c.dataBlockType},
                                                {"deriv", c.deriv},
                                                {"x", p.x.get()},
                                                {"minY", p.MNY},
                                                {"maxY", p.MXY},
                                                {"parameters", p.parameters.get()},
                                                {"mapX", mapX.get()},
                                                {"mapY", mapY.get()},
                                                {"labels", labelObjects.get()},
                                                {"traces", traces.get()}});
}

}  // namespace ixbind
