// getIxarData: argument rules, request validation, block selection, the 3D
// prologue and the choice of extraction path.
#include "container/directory.hpp"
#include "extract.hpp"

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
bool raiseConcat(std::initializer_list<PyObject*> pieces) {
    Ref msg;
    for (PyObject* piece : pieces) {
        if (!piece) return false;
        msg = msg ? Ref(PyNumber_Add(msg.get(), piece)) : Ref::borrowed(piece);
        if (!msg) return false;
    }
    PyErr_SetObject(PyExc_ValueError, msg.get());
    return false;
}

PyObject* extract3D(Call& c);

}  // namespace

int equalsText(PyObject* o, const char* text) {
    Ref t(PyUnicode_FromString(text));
    return t ? PyObject_RichCompareBool(o, t.get(), Py_EQ) : -1;
}

PyObject* labelList(const std::vector<std::string>& labels) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < labels.size(); ++i) {
        PyObject* s = PyUnicode_DecodeASCII(labels[i].data(), static_cast<Py_ssize_t>(labels[i].size()), "strict");
        if (!s) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), s);
    }
    return out.release();
}

PyObject* getIxarData(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[2];
    if (!parseArguments(args, nargs, kwnames, values)) return nullptr;
    PyObject* path = values[0];
    PyObject* datablock = values[1];
    if (path != Py_None && !PyUnicode_CheckExact(path)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "path",
                     "str", Py_TYPE(path)->tp_name);
        return nullptr;
    }
    State* st = stateOf(module);

    // The request, upper-cased and checked before the file is touched.
    Ref dataBlockType(upperItem(datablock, 0));
    if (!dataBlockType) return nullptr;
    Ref dimensions(upperItem(datablock, 1));
    if (!dimensions) return nullptr;
    Ref deriv(upperItem(datablock, 2));
    if (!deriv) return nullptr;

    int is2D = equalsText(dimensions.get(), "2D");
    if (is2D < 0) return nullptr;
    int is3D = is2D ? 0 : equalsText(dimensions.get(), "3D");
    if (is3D < 0) return nullptr;
    if (!is2D && !is3D) {
        raiseConcat({Ref(PyUnicode_FromString("Incorrect dimensions: ")).get(), dimensions.get(),
                     Ref(PyUnicode_FromString(". Dimensions need to be either 2D or 3D")).get()});
        return nullptr;
    }
    int known = PySequence_Contains(st->dataBlockDict, dataBlockType.get());
    if (known < 0) return nullptr;
    if (!known) {
        raiseConcat({Ref(PyUnicode_FromString("Invalid data block type: ")).get(), dataBlockType.get(),
                     Ref(PyUnicode_FromString(". Please enter a valid entry from the following: ")).get(),
                     Ref(PyUnicode_FromString(kDataBlockTypes)).get()});
        return nullptr;
    }
    known = PySequence_Contains(st->derivDict, deriv.get());
    if (known < 0) return nullptr;
    if (!known) {
        raiseConcat({Ref(PyUnicode_FromString("Invalid deriv type: ")).get(), deriv.get(),
                     Ref(PyUnicode_FromString(".  Please select from the following: 1DER, 2DER, NDER or NONE")).get()});
        return nullptr;
    }

    // One descriptor serves the signature check, the directory and the data.
    OpenFile f;
    if (!f.open(st, path)) return nullptr;
    int ok = checkSignature(st, f);
    if (ok < 0) return nullptr;
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "Can't process a non-Ixar file");
        return nullptr;
    }
    std::vector<ixar::DirEntry> directory;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] { directory = ixar::readDirectory(f.file(), failures); })) return nullptr;

    PyObject* codes = PyDict_GetItemWithError(st->dataBlockDict, dataBlockType.get());  // borrowed
    PyObject* derivative = PyDict_GetItemWithError(st->derivDict, deriv.get());
    if (!codes || !derivative) return nullptr;
    ixar::Request request{};
    request.data = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(codes, 0)));
    request.sample = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(codes, 1)));
    request.extend = is3D ? 10 : 0;
    request.derivative = static_cast<int>(PyLong_AsLong(derivative));

    Call c{st, f.file(), dataBlockType.get(), dimensions.get(), deriv.get(), ixar::selectBlocks(directory, request)};
    if (c.sel.offsetToData == -1 || c.sel.offsetToParams == -1) {
        raiseConcat({Ref(PyUnicode_FromString("No data block exists in the file for: ")).get(), dataBlockType.get(),
                     Ref(PyUnicode_FromString(" ")).get(), dimensions.get(), Ref(PyUnicode_FromString(" ")).get(),
                     deriv.get()});
        return nullptr;
    }
    Ref result(is2D ? extractSingle(c) : extract3D(c));
    if (!result || !f.close()) return nullptr;
    return result.release();
}

PyObject* mergedParameters(Call& c) {
    Ref parameters(PyDict_New());
    if (!parameters || !addParams(c.st, c.file, c.sel.offsetToParams, parameters.get())) return nullptr;
    for (int64_t offset : {c.sel.offsetToAcqParams, c.sel.offsetToInstParams, c.sel.offsetToSampleParams,
                           c.sel.offsetToFTParams})
        if (offset != -1 && !addParams(c.st, c.file, offset, parameters.get())) return nullptr;
    return parameters.release();
}

bool lengthOf(PyObject* n, int64_t& out) {
    long long v = PyLong_AsLongLong(n);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool checkSize(Call& c, const char* code, PyObject* n, int64_t bytesEach) {
    if (!PyLong_Check(n)) return true;  // numpy rejects it with its own message
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    // Whatever the parameter blocks say, the data must fit in the file.
    if (overflow > 0 || (v > 0 && v > c.file.size() / bytesEach)) {
        PyErr_Format(PyExc_ValueError, "%s = %S claims more data than the file holds (%lld bytes)", code, n,
                     static_cast<long long>(c.file.size()));
        return false;
    }
    return true;
}

bool spectralAxis(Call& c, Prologue& p) {
    PyObject* found[5];
    const char* const codes[5] = {"NPT", "FXV", "LXV", "MXY", "MNY"};
    for (int i = 0; i < 5; ++i) {
        Ref key(PyUnicode_FromString(codes[i]));
        if (!key) return false;
        found[i] = PyDict_GetItemWithError(p.parameters.get(), key.get());
        if (!found[i]) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            return false;
        }
    }
    p.NPT = found[0];
    p.MXY = found[3];
    p.MNY = found[4];
    if (!checkSize(c, "NPT", p.NPT, 4)) return false;
    PyObject* args[] = {found[1], found[2], found[0]};
    p.x = Ref(PyObject_Vectorcall(c.st->linspace, args, 3, nullptr));
    return p.x && lengthOf(p.NPT, p.npt);
}

bool raiseVia(PyObject* result) {
    if (result) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_SystemError, "an operation expected to fail succeeded");
    }
    return false;
}

PyObject* arrayOf(State* st, PyObject* shape, bool float32, bool zeroed, void** data) {
    PyObject* args[] = {shape, float32 ? st->float32 : nullptr};
    Ref arr(PyObject_Vectorcall(zeroed ? st->zeros : st->empty, args, float32 ? 2 : 1, nullptr));
    if (!arr) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    *data = view.buf;
    PyBuffer_Release(&view);
    return arr.release();
}

PyObject* newArray(State* st, std::initializer_list<int64_t> shape, bool float32, bool zeroed, void** data) {
    Ref dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return nullptr;
    Py_ssize_t i = 0;
    for (int64_t n : shape) {
        PyObject* v = PyLong_FromLongLong(n);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(dims.get(), i++, v);
    }
    return arrayOf(st, dims.get(), float32, zeroed, data);
}

namespace {

bool hasKey(PyObject* dict, const char* key, int& out) {
    Ref k(PyUnicode_FromString(key));
    if (!k) return false;
    out = PyDict_Contains(dict, k.get());
    return out >= 0;
}

// The 3D prologue, then the family: image maps when all six mapping codes
// are there, time-resolved spectra when ZTX is, time-resolved traces for a
// TRC request on a file without annotations, multi-region maps otherwise.
PyObject* extract3D(Call& c) {
    Prologue p{};
    p.parameters = Ref(mergedParameters(c));
    if (!p.parameters || !spectralAxis(c, p)) return nullptr;

    bool image = true;
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}) {
        int has;
        if (!hasKey(p.parameters.get(), code, has)) return nullptr;
        image = image && has;
    }
    if (image) return extractImage(c, p);
    int hasZ;
    if (!hasKey(p.parameters.get(), "ZTX", hasZ)) return nullptr;
    if (hasZ) return extractTimeResolved(c, p);
    int isTRC = equalsText(c.dataBlockType, "TRC");
    if (isTRC < 0) return nullptr;
    if (c.sel.offsetToANNO == -1 && isTRC) return extractTimeResolvedTraces(c, p);
    return extractMultiRegion(c, p);
}

}  // namespace

}  // namespace ixbind
