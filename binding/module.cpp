// The extension module ixarkit._core: its state, its functions and the help
// text. The package binds the functions under the names a caller uses.
#include "binding.hpp"
#include "container/directory.hpp"
#include "container/listing.hpp"

namespace ixbind {

PyObject* getIxarData(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

namespace {

PyObject* help(PyObject* module, PyObject*) {
    State* st = readyState(module);
    return st ? callHelper(st->help, nullptr, 0) : nullptr;
}

PyObject* isIxarFile(PyObject* module, PyObject* path) {
    State* st = readyState(module);
    if (!st) return nullptr;
    OpenFile f;
    if (!openPathArgument(st, path, f)) return nullptr;
    int ok = checkSignature(st, f);
    if (ok < 0 || !f.close()) return nullptr;
    return PyBool_FromLong(ok);
}

PyObject* listContents(PyObject* module, PyObject* path) {
    State* st = readyState(module);
    if (!st) return nullptr;
    OpenFile f;
    std::vector<ixar::DirEntry> directory;
    if (!openPathArgument(st, path, f) || !readDirectory(st, f, directory) || !f.close()) return nullptr;
    return listing(directory);
}

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
