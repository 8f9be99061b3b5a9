// getIxarData: argument rules, request validation and block selection; the
// data set itself is read by readDataSet.
#include "container/directory.hpp"
#include "container/selection.hpp"
#include "dataset.hpp"

namespace ixbind {

namespace {

const char kDataBlockTypes[] =
    "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC";

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

// item.upper() of datablock[i].
PyObject* upperItem(PyObject* datablock, long i) {
    Ref index(PyLong_FromLong(i));
    if (!index) return nullptr;
    Ref item(PyObject_GetItem(datablock, index.get()));
    if (!item) return nullptr;
    return PyObject_CallMethod(item.get(), "upper", nullptr);
}

// Concatenates the pieces with +, as the messages are built from the
// request strings whatever they are.
bool raiseConcat(const char* kind, std::initializer_list<PyObject*> pieces) {
    Ref msg;
    for (PyObject* piece : pieces) {
        if (!piece) return false;
        msg = msg ? Ref(PyNumber_Add(msg.get(), piece)) : Ref::borrowed(piece);
        if (!msg) return false;
    }
    PyErr_SetObject(PyExc_ValueError, msg.get());
    tagFailure(kind);
    return false;
}

int equalsText(PyObject* o, const char* text) {
    Ref t(PyUnicode_FromString(text));
    return t ? PyObject_RichCompareBool(o, t.get(), Py_EQ) : -1;
}

}  // namespace

bool validateRequest(State* st, PyObject* datablock, Ref strings[3], bool& is3D) {
    // The request, upper-cased and checked before the file is touched.
    for (int i = 0; i < 3; ++i)
        if (!(strings[i] = Ref(upperItem(datablock, i)))) return false;
    PyObject *dataBlockType = strings[0].get(), *dimensions = strings[1].get(), *deriv = strings[2].get();
    int is2D = equalsText(dimensions, "2D");
    if (is2D < 0) return false;
    int three = is2D ? 0 : equalsText(dimensions, "3D");
    if (three < 0) return false;
    is3D = three;
    if (!is2D && !three)
        return raiseConcat(kBadRequest, {Ref(PyUnicode_FromString("Incorrect dimensions: ")).get(), dimensions,
                            Ref(PyUnicode_FromString(". Dimensions need to be either 2D or 3D")).get()});
    int known = PySequence_Contains(st->dataBlockDict, dataBlockType);
    if (known < 0) return false;
    if (!known)
        return raiseConcat(kBadRequest, {Ref(PyUnicode_FromString("Invalid data block type: ")).get(), dataBlockType,
                            Ref(PyUnicode_FromString(". Please enter a valid entry from the following: ")).get(),
                            Ref(PyUnicode_FromString(kDataBlockTypes)).get()});
    known = PySequence_Contains(st->derivDict, deriv);
    if (known < 0) return false;
    if (!known)
        return raiseConcat(
            kBadRequest, {Ref(PyUnicode_FromString("Invalid deriv type: ")).get(), deriv,
             Ref(PyUnicode_FromString(".  Please select from the following: 1DER, 2DER, NDER or NONE")).get()});
    return true;
}

bool selectRequest(State* st, const std::vector<ixar::DirEntry>& directory, Ref strings[3], bool is3D, bool quiet,
                   ixar::Selection& sel, DataSetRequest& req) {
    PyObject* codes = PyDict_GetItemWithError(st->dataBlockDict, strings[0].get());  // borrowed
    PyObject* derivative = PyDict_GetItemWithError(st->derivDict, strings[2].get());
    if (!codes || !derivative) return false;
    ixar::Request request{};
    request.data = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(codes, 0)));
    request.sample = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(codes, 1)));
    request.extend = is3D ? ixar::kExtend3D : 0;
    request.derivative = static_cast<int>(PyLong_AsLong(derivative));
    sel = ixar::selectBlocks(directory, request);
    if (sel.offsetToData == -1 || sel.offsetToParams == -1)
        return raiseConcat(kNoDataSet, {Ref(PyUnicode_FromString("No data block exists in the file for: ")).get(),
                            strings[0].get(), Ref(PyUnicode_FromString(" ")).get(), strings[1].get(),
                            Ref(PyUnicode_FromString(" ")).get(), strings[2].get()});
    req = {strings[0].get(), strings[1].get(), strings[2].get(), is3D,
           request.data == ixar::kTraceData, request.derivative != 0, quiet};
    return true;
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
    State* st = stateOf(module);
    Ref strings[3];
    bool is3D = false;
    if (!validateRequest(st, values[1], strings, is3D)) return nullptr;

    // One descriptor serves the signature check, the directory and the data.
    OpenFile f;
    if (!f.open(st, path)) return nullptr;
    int ok = checkSignature(st, f);
    if (ok < 0) return nullptr;
    if (!ok) {
        setNotIxar();
        return nullptr;
    }
    std::vector<ixar::DirEntry> directory;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] { directory = ixar::readDirectory(f.file(), failures); })) return nullptr;
    ixar::Selection sel;
    DataSetRequest req;
    if (!selectRequest(st, directory, strings, is3D, false, sel, req)) return nullptr;
    Ref result(readDataSet(st, f.file(), sel, req));
    if (!result || !f.close()) return nullptr;
    return result.release();
}

}  // namespace ixbind
