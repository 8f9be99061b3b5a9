// Module state: references to numpy, struct, io and the result classes,
// taken once when the module is executed. Nothing in it changes afterwards,
// so calls on several threads share it safely.
#include "binding.hpp"
#include "container/selection.hpp"

namespace ixbind {

namespace {

PyObject* attr(PyObject* module, const char* name) { return PyObject_GetAttrString(module, name); }

}  // namespace

State* stateOf(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// The state holds nothing but references, so it is walked as an array of them.
static_assert(sizeof(State) % sizeof(PyObject*) == 0);
constexpr size_t kRefs = sizeof(State) / sizeof(PyObject*);
PyObject** refsOf(State* st) { return reinterpret_cast<PyObject**>(st); }

int stateTraverse(PyObject* module, visitproc visit, void* arg) {
    if (State* st = stateOf(module))
        for (size_t i = 0; i < kRefs; ++i) Py_VISIT(refsOf(st)[i]);
    return 0;
}

int stateClear(PyObject* module) {
    if (State* st = stateOf(module))
        for (size_t i = 0; i < kRefs; ++i) Py_CLEAR(refsOf(st)[i]);
    return 0;
}

// What the state takes from other modules, in this order: numpy first,
// without which the module cannot be imported (its ImportError is what the
// caller sees); then the Python side of the reader.
struct Import {
    PyObject* State::*field;
    const char *module, *name;
};
constexpr Import kImports[] = {
    {&State::linspace, "numpy", "linspace"},
    {&State::empty, "numpy", "empty"},
    {&State::zeros, "numpy", "zeros"},
    {&State::float32, "numpy", "float32"},
    {&State::float64, "numpy", "float64"},
    {&State::ndarray, "numpy", "ndarray"},
    {&State::fileIO, "io", "FileIO"},
    {&State::structUnpack, "struct", "unpack"},
    {&State::buildResult, "ixarkit._families", "build"},
    {&State::checkRequest, "ixarkit._request", "check"},
    {&State::missingRequest, "ixarkit._request", "missing"},
    {&State::notice, "ixarkit._host", "notice"},
    {&State::mapAxes, "ixarkit._host", "map_axes"},
    {&State::groupOrder, "ixarkit._host", "group_order"},
    {&State::coordinate, "ixarkit._host", "coordinates"},
    {&State::help, "ixarkit._help", "show"},
    {&State::fail, "ixarkit._errors", "fail"},
};

int stateInit(PyObject* module) {
    State* st = stateOf(module);
    for (const Import& i : kImports) {
        Ref from(PyImport_ImportModule(i.module));
        if (!from || !(st->*i.field = attr(from.get(), i.name))) return -1;
    }

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
