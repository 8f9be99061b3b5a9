// Module state: references to numpy, struct, io and the result classes,
// taken once when the module is executed. Nothing in it changes afterwards,
// so calls on several threads share it safely.
#include "binding.hpp"
#include "container/selection.hpp"

namespace ixbind {

namespace {

PyObject* attr(PyObject* module, const char* name) { return PyObject_GetAttrString(module, name); }

constexpr const char* kClassNames[kResultClassCount] = {
    "SingleDataReturn",     "ImageDataReturn",       "ImageTRCDataReturn", "TimeResolvedDataReturn",
    "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region",             "MultiRegionTRCDataReturn",
};

}  // namespace

State* stateOf(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

int stateTraverse(PyObject* module, visitproc visit, void* arg) {
    State* st = stateOf(module);
    if (!st) return 0;
    Py_VISIT(st->linspace);
    Py_VISIT(st->empty);
    Py_VISIT(st->zeros);
    Py_VISIT(st->dstack);
    Py_VISIT(st->vstack);
    Py_VISIT(st->float32);
    Py_VISIT(st->structUnpack);
    Py_VISIT(st->fileIO);
    for (PyObject* c : st->classes) Py_VISIT(c);
    Py_VISIT(st->dataBlockDict);
    Py_VISIT(st->derivDict);
    return 0;
}

int stateClear(PyObject* module) {
    State* st = stateOf(module);
    if (!st) return 0;
    Py_CLEAR(st->linspace);
    Py_CLEAR(st->empty);
    Py_CLEAR(st->zeros);
    Py_CLEAR(st->dstack);
    Py_CLEAR(st->vstack);
    Py_CLEAR(st->float32);
    Py_CLEAR(st->structUnpack);
    Py_CLEAR(st->fileIO);
    for (PyObject*& c : st->classes) Py_CLEAR(c);
    Py_CLEAR(st->dataBlockDict);
    Py_CLEAR(st->derivDict);
    return 0;
}

int stateInit(PyObject* module) {
    State* st = stateOf(module);
    // numpy first: without it the module cannot be imported, and its
    // ImportError is what the caller sees.
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    if (!(st->linspace = attr(np.get(), "linspace")) || !(st->empty = attr(np.get(), "empty")) ||
        !(st->zeros = attr(np.get(), "zeros")) || !(st->dstack = attr(np.get(), "dstack")) ||
        !(st->vstack = attr(np.get(), "vstack")) || !(st->float32 = attr(np.get(), "float32")))
        return -1;

    Ref structMod(PyImport_ImportModule("struct"));
    if (!structMod || !(st->structUnpack = attr(structMod.get(), "unpack"))) return -1;
    Ref io(PyImport_ImportModule("io"));
    if (!io || !(st->fileIO = attr(io.get(), "FileIO"))) return -1;

    Ref results(PyImport_ImportModule("ixarkit._results"));
    if (!results) return -1;
    for (int i = 0; i < kResultClassCount; ++i)
        if (!(st->classes[i] = attr(results.get(), kClassNames[i]))) return -1;

    // The request vocabulary, as dicts so that lookups follow the
    // interpreter's rules for whatever objects a caller passes.
    if (!(st->dataBlockDict = PyDict_New()) || !(st->derivDict = PyDict_New())) return -1;
    for (const ixar::DataBlockCode& c : ixar::dataBlockCodes()) {
        Ref v(Py_BuildValue("(ii)", c.data, c.sample));
        if (!v || PyDict_SetItemString(st->dataBlockDict, c.name, v.get()) < 0) return -1;
    }
    for (const ixar::DerivativeCode& c : ixar::derivativeCodes()) {
        Ref v(PyLong_FromLong(c.code));
        if (!v || PyDict_SetItemString(st->derivDict, c.name, v.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace ixbind
