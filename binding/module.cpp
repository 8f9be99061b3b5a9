// The extension module ixarkit._core: its state, its functions and the help
// text. The package binds the functions under the names a caller uses.
#include <cmath>

#include "binding.hpp"
#include "exec/axis.hpp"

namespace ixbind {

namespace {

// The public functions are the module's own built-in functions; each calls
// its Python side (ixarkit._reader), whose exceptions come without its
// frames, as a built-in function's do.
PyObject* forward(PyObject* State::*fn, PyObject* module, PyObject* const* args, size_t nargs,
                  PyObject* kwnames = nullptr) {
    State* st = readyState(module);
    PyObject* r = st ? PyObject_Vectorcall(st->*fn, args, nargs, kwnames) : nullptr;
    if (!r && st) dropTraceback();
    return r;
}

PyObject* help(PyObject* module, PyObject*) { return forward(&State::help, module, nullptr, 0); }
PyObject* isIxarFile(PyObject* module, PyObject* path) { return forward(&State::isIxarFile, module, &path, 1); }
PyObject* listContents(PyObject* module, PyObject* path) { return forward(&State::listContents, module, &path, 1); }
PyObject* getIxarData(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return forward(&State::getIxarData, module, args, static_cast<size_t>(nargs), kwnames);
}

// x_axis(first, last, n): numpy.linspace(first, last, n), filled here, bit
// for bit the same, when the bounds are finite floats (and so is their
// distance) and n a whole number of 2 or more; by numpy otherwise (its
// arithmetic on other numbers, and its errors and warnings).
PyObject* xAxis(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    State* st = readyState(module);
    if (!st) return nullptr;
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "x_axis() takes 3 arguments");
        return nullptr;
    }
    PyObject *first = args[0], *last = args[1], *n = args[2];
    if (PyFloat_CheckExact(first) && PyFloat_CheckExact(last) && PyLong_CheckExact(n) &&
        std::isfinite(PyFloat_AS_DOUBLE(last) - PyFloat_AS_DOUBLE(first))) {
        const long long count = PyLong_AsLongLong(n);
        // One point is left to numpy: whether 0 * step + first keeps the
        // sign of a first of -0.0 differs between its versions.
        if (count >= 2) {
            PyObject* shape[] = {n, st->float64};
            Ref arr(PyObject_Vectorcall(st->empty, shape, 2, nullptr));
            Py_buffer view;
            if (!arr || PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
            ixar::fillLinspace(PyFloat_AS_DOUBLE(first), PyFloat_AS_DOUBLE(last), count, static_cast<double*>(view.buf));
            PyBuffer_Release(&view);
            return arr.release();
        }
        PyErr_Clear();
    }
    return PyObject_Vectorcall(st->linspace, args, 3, nullptr);
}

// type_name(o): the name of o's type, as the interpreter's messages give it.
PyObject* typeName(PyObject*, PyObject* o) { return PyUnicode_FromString(Py_TYPE(o)->tp_name); }

// Docstrings of the public functions, as a caller reads them.
const char kHelpDoc[] =
    "help($module, /)\n--\n\n"
    "\n    Print a help message containing the available functions.\n    ";
const char kListContentsDoc[] =
    "listContents($module, path, /)\n--\n\n"
    "\n    This function returns a list of datablocks for a given file.\n"
    "    Each datablock is identified by blocktype, dimensions and derivative.\n\n"
    "    Args:\n        path (path): Path to file\n\n"
    "    Returns:\n"
    "        list of tuple(str, str, str): List containing a (datablocktype, dimensions, derivative) tuple\n"
    "        for each datablock in the file\n    ";
const char kIsIxarFileDoc[] =
    "isIxarFile($module, path, /)\n--\n\n"
    "\n    Tests if the given file is an IXAR data file.\n\n"
    "    Args:\n        path (path): Path to file\n\n"
    "    Returns:\n        bool: True if an IXAR file\n    ";
const char kGetIxarDataDoc[] =
    "getIxarData($module, /, path, datablock)\n--\n\n"
    "\n    This function returns a :obj:`DataReturn` object containing the data and\n"
    "    data parameters for    the specified datablock in the given file.\n\n"
    "    Args:\n"
    "        path (path):       Path to file\n"
    "        datablock (tuple of str): tuple(datablocktype, dimensions, derivative)\n"
    "                                  as returned by .listContents()\n\n"
    "    Returns:\n"
    "        :obj:`DataReturn`: Object containing the requested data and associated\n"
    "        parameters. Data structure is as specified in data.description and\n"
    "        can be one of the three types described in :class:`DataReturn`\n    ";

PyMethodDef kFunctions[] = {
    {"help", guardedMethod<help>, METH_NOARGS, kHelpDoc},
    {"listContents", guardedMethod<listContents>, METH_O, kListContentsDoc},
    {"isIxarFile", guardedMethod<isIxarFile>, METH_O, kIsIxarFileDoc},
    {"getIxarData", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                        guarded<getIxarData, PyObject*, PyObject* const*, Py_ssize_t, PyObject*>)),
     METH_FASTCALL | METH_KEYWORDS, kGetIxarDataDoc},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                      guarded<configure, PyObject*, PyObject*, PyObject*>)),
     METH_VARARGS | METH_KEYWORDS, "configure(**helpers): what the package hands the module when it imports it."},
    {"x_axis", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                   guarded<xAxis, PyObject*, PyObject* const*, Py_ssize_t>)),
     METH_FASTCALL, "x_axis(first, last, n): numpy.linspace(first, last, n)."},
    {"type_name", guardedMethod<typeName>, METH_O, "type_name(o): the name of o's type, as the interpreter gives it."},
};

int exec(PyObject* module) {
    if (stateInit(module) < 0 || addSourceType(module) < 0 || addPagesType(module) < 0) return -1;
    // The functions belong to the package a caller imports: their
    // __module__ is "ixarkit", while they still reach this module's state.
    Ref owner(PyUnicode_FromString("ixarkit"));
    if (!owner) return -1;
    for (PyMethodDef& def : kFunctions) {
        Ref fn(PyCFunction_NewEx(&def, module, owner.get()));
        if (!fn || PyModule_AddObject(module, def.ml_name, fn.get()) < 0) return -1;
        fn.release();  // the module holds it now
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // A source's kept layouts are shared with the interpreter lock held: a
    // free-threaded interpreter runs this module with the lock enabled.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

void freeModule(void* module) { stateClear(static_cast<PyObject*>(module)); }

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "ixarkit._core",
    nullptr,
    sizeof(State),
    nullptr,
    kSlots,
    stateTraverse,
    stateClear,
    freeModule,
};

}  // namespace

}  // namespace ixbind

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&ixbind::kModule); }
