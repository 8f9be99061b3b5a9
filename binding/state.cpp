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

int stateInit(PyObject* module) {
    State* st = stateOf(module);
    // numpy first: without it the module cannot be imported, and its
    // ImportError is what the caller sees.
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    if (!(st->linspace = attr(np.get(), "linspace")) || !(st->empty = attr(np.get(), "empty")) ||
        !(st->zeros = attr(np.get(), "zeros")) || !(st->float32 = attr(np.get(), "float32")) ||
        !(st->float64 = attr(np.get(), "float64")) || !(st->ndarray = attr(np.get(), "ndarray")))
        return -1;

    Ref io(PyImport_ImportModule("io"));
    if (!io || !(st->fileIO = attr(io.get(), "FileIO"))) return -1;

    // Results are made by the family table, from what was read.
    Ref families(PyImport_ImportModule("ixarkit._families"));
    if (!families || !(st->buildResult = attr(families.get(), "build"))) return -1;
    Ref request(PyImport_ImportModule("ixarkit._request"));
    if (!request || !(st->checkRequest = attr(request.get(), "check")) ||
        !(st->missingRequest = attr(request.get(), "missing")))
        return -1;
    Ref host(PyImport_ImportModule("ixarkit._host")), help(PyImport_ImportModule("ixarkit._help"));
    if (!host || !help || !(st->notice = attr(host.get(), "notice")) || !(st->mapAxes = attr(host.get(), "map_axes")) ||
        !(st->groupOrder = attr(host.get(), "group_order")) || !(st->coordinate = attr(host.get(), "coordinate")) ||
        !(st->help = attr(help.get(), "show")))
        return -1;
    // Failures are raised from their kinds and numbers.
    Ref errors(PyImport_ImportModule("ixarkit._errors"));
    if (!errors || !(st->fail = attr(errors.get(), "fail")) || !(st->shortRead = attr(errors.get(), "short_read")))
        return -1;

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
