// Module state: references to numpy, struct, io and the result classes,
// taken once when the module is executed. Nothing in it changes afterwards,
// so calls on several threads share it safely.
#include "binding.hpp"
#include "container/selection.hpp"
#include "plan/family.hpp"

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

namespace {

// What the state takes from other modules when the module is executed:
// numpy first, without which the module cannot be imported (its ImportError
// is what the caller sees).
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
    {&State::structUnpack, "struct", "unpack"},
};

// What the package hands the module once it has imported it (configure):
// the Python side of the reader, by keyword. The module imports nothing of
// its package.
struct Handed {
    PyObject* State::*field;
    const char* name;
};
constexpr Handed kHanded[] = {
    {&State::help, "help"},
    {&State::isIxarFile, "is_ixar_file"},
    {&State::listContents, "list_contents"},
    {&State::getIxarData, "get_ixar_data"},
    {&State::fail, "fail"},
    {&State::readReports, "reports"},
};

}  // namespace

PyObject* configure(PyObject* module, PyObject* args, PyObject* kwargs) {
    State* st = stateOf(module);
    if (PyTuple_GET_SIZE(args) || !kwargs || static_cast<size_t>(PyDict_GET_SIZE(kwargs)) != std::size(kHanded)) {
        PyErr_SetString(PyExc_TypeError, "configure() takes the reader's helpers by keyword, all of them");
        return nullptr;
    }
    for (const Handed& h : kHanded) {
        PyObject* fn = PyDict_GetItemString(kwargs, h.name);
        const bool fits = fn && (h.field == &State::readReports ? PyContextVar_CheckExact(fn) : PyCallable_Check(fn));
        if (!fits) {
            PyErr_Format(PyExc_TypeError, "configure() needs %s %s",
                         h.field == &State::readReports ? "a context variable" : "a callable", h.name);
            return nullptr;
        }
    }
    for (const Handed& h : kHanded) Py_XSETREF(st->*h.field, newRef(PyDict_GetItemString(kwargs, h.name)));
    Py_RETURN_NONE;
}

State* readyState(PyObject* module) {
    State* st = stateOf(module);
    if (st && st->fail) return st;
    PyErr_SetString(PyExc_ImportError, "ixarkit._core is used through the ixarkit package, which configures it");
    return nullptr;
}

int stateInit(PyObject* module) {
    State* st = stateOf(module);
    for (const Import& i : kImports) {
        Ref from(PyImport_ImportModule(i.module));
        if (!from || !(st->*i.field = attr(from.get(), i.name))) return -1;
    }

    // The request vocabulary, in the tables' order: (name, data code, sample
    // code) of each data type, (name, code) of each derivative.
    Ref types(PyList_New(0)), derivatives(PyList_New(0));
    for (const ixar::DataBlockCode& c : ixar::dataBlockCodes())
        if (!types || PyList_Append(types.get(), Ref(Py_BuildValue("(sii)", c.name, c.data, c.sample)).get()) < 0)
            return -1;
    for (const ixar::DerivativeCode& c : ixar::derivativeCodes())
        if (!derivatives || PyList_Append(derivatives.get(), Ref(Py_BuildValue("(si)", c.name, c.code)).get()) < 0)
            return -1;
    for (auto [name, list] : {std::pair{"DATA_TYPES", types.get()}, std::pair{"DERIVATIVES", derivatives.get()}}) {
        Ref words(PyList_AsTuple(list));
        if (!words || PyModule_AddObject(module, name, words.get()) < 0) return -1;
        words.release();  // the module holds it now
    }
    // The families, as their planners describe them: (name, record axes).
    const auto planners = ixar::families();
    Ref families(PyTuple_New(static_cast<Py_ssize_t>(planners.size())));
    for (size_t i = 0; families && i < planners.size(); ++i) {
        Ref axes(PyList_New(0));
        for (int a = 0; axes && a < 32; ++a)
            if ((planners[i]->recordAxes >> a & 1u) && PyList_Append(axes.get(), Ref(PyLong_FromLong(a)).get()) < 0)
                return -1;
        PyObject* one = axes ? Py_BuildValue("(sN)", planners[i]->name, PyList_AsTuple(axes.get())) : nullptr;
        if (!one) return -1;
        PyTuple_SET_ITEM(families.get(), static_cast<Py_ssize_t>(i), one);
    }
    if (!families || PyModule_AddObject(module, "FAMILIES", families.get()) < 0) return -1;
    families.release();
    // The four bytes a file starts with.
    const auto word = static_cast<uint32_t>(ixar::kSignature);
    const char signature[] = {char(word >> 24), char(word >> 16 & 0xff), char(word >> 8 & 0xff), char(word & 0xff)};
    Ref bytes(PyBytes_FromStringAndSize(signature, 4));
    if (!bytes || PyModule_AddObject(module, "SIGNATURE", bytes.get()) < 0) return -1;
    bytes.release();
    return 0;
}

}  // namespace ixbind
