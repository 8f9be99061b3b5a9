// getIxarData: argument rules, the request (checked by ixarkit._request) and
// block selection; then the data set is planned and read.
#include "container/directory.hpp"
#include "container/selection.hpp"
#include "binding.hpp"

namespace ixbind {

namespace {

// (path, datablock), each by position or keyword; the messages are those of
// the interpreter's argument binding for a function of two required
// positional arguments.
bool parseArguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* values[2]) {
    static const char* const kNames[2] = {"path", "datablock"};
    values[0] = values[1] = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    auto countError = [](Py_ssize_t given) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "getIxarData",
                     "exactly", static_cast<Py_ssize_t>(2), "s", given);
        return false;
    };
    if (nargs > 2) return countError(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    // Required arguments missing from the keywords are reported first.
    for (Py_ssize_t i = nargs; i < 2; ++i) {
        for (Py_ssize_t k = 0; k < nkw && !values[i]; ++k)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), kNames[i]) == 0)
                values[i] = args[nargs + k];
        if (!values[i]) return countError(i);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int known = -1;
        for (int i = 0; i < 2; ++i)
            if (PyUnicode_CompareWithASCIIString(name, kNames[i]) == 0) known = i;
        if (known < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "getIxarData", name);
            return false;
        }
        if (known < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "getIxarData", name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool checkRequest(State* st, PyObject* datablock, bool quiet, DataSetRequest& req) {
    PyObject* args[] = {datablock, st->dataBlockDict, st->derivDict};
    req.checked = Ref(callHelper(st->checkRequest, args, 3));
    req.quiet = quiet;
    int is3D = 0;
    if (!req.checked || !PyArg_ParseTuple(req.checked.get(), "OOOpiii", &req.dataType, &req.dimension, &req.deriv,
                                          &is3D, &req.codes.data, &req.codes.sample, &req.codes.derivative))
        return false;
    req.is3D = is3D;
    req.codes.extend = is3D ? ixar::kExtend3D : 0;
    return true;
}

bool selectRequest(State* st, const std::vector<ixar::DirEntry>& directory, const DataSetRequest& req,
                   ixar::Selection& sel) {
    sel = ixar::selectBlocks(directory, req.codes);
    if (sel.offsetToData != -1 && sel.offsetToParams != -1) return true;
    PyObject* args[] = {req.dataType, req.dimension, req.deriv};
    Ref error(callHelper(st->missingRequest, args, 3));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

PyObject* getIxarData(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[2];
    if (!parseArguments(args, nargs, kwnames, values)) return nullptr;
    PyObject* path = values[0];
    if (path != Py_None && !PyUnicode_CheckExact(path)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path",
                     "str", Py_TYPE(path)->tp_name);
        return nullptr;
    }
    State* st = readyState(module);
    if (!st) return nullptr;
    DataSetRequest req;
    if (!checkRequest(st, values[1], false, req)) return nullptr;

    // One descriptor serves the signature check, the directory and the data.
    OpenFile f;
    std::vector<ixar::DirEntry> directory;
    if (!f.open(st, path) || !readDirectory(st, f, directory)) return nullptr;
    ixar::Selection sel;
    if (!selectRequest(st, directory, req, sel)) return nullptr;
    Planned planned;
    ixar::Plan plan;
    if (!planDataSet(st, f.file(), sel, req, planned, nullptr, &plan)) return nullptr;
    Ref result(readPlan(st, f.file(), planned, std::move(plan), req));
    if (!result || !f.close()) return nullptr;
    return result.release();
}

}  // namespace ixbind
