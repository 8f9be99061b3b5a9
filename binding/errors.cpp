// Core errors and failed reads, as the caller sees them. This is the only
// place that turns what the core reports into Python exceptions; where the
// documented exception is worded by the interpreter or by numpy, the step
// that fails is run again here, on the numbers the core gives, so that the
// caller gets that exception exactly.
#include <cerrno>
#include <new>
#include <stdexcept>

#include "binding.hpp"

namespace ixbind {

namespace {

// struct's format of each primitive read.
const char* structFormat(ixar::Primitive p) {
    switch (p) {
        case ixar::Primitive::Short: return "<h";
        case ixar::Primitive::Int: return "<i";
        case ixar::Primitive::Int64: return "<q";
        case ixar::Primitive::Float: return "<f";
        case ixar::Primitive::Double: return "<d";
    }
    return "<i";
}

// struct.unpack on the bytes a read found: the interpreter's own error for a
// read that came up short, message and all.
void raiseShortUnpack(State* st, const char* format, int got) {
    std::string zeros(static_cast<size_t>(got > 0 ? got : 0), '\0');
    Ref bytes(PyBytes_FromStringAndSize(zeros.data(), static_cast<Py_ssize_t>(zeros.size())));
    if (!bytes) return;
    Ref r(PyObject_CallFunction(st->structUnpack, "sO", format, bytes.get()));
    if (r) PyErr_Format(PyExc_SystemError, "unpack of a short read succeeded");
}

// Runs an operation that must fail; its exception stays set.
void mustFail(PyObject* result) {
    if (result) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_SystemError, "an operation expected to fail succeeded");
    }
}

PyObject* call(PyObject* fn, std::initializer_list<PyObject*> args) {
    for (PyObject* a : args)
        if (!a) return nullptr;
    return PyObject_Vectorcall(fn, const_cast<PyObject**>(args.begin()), args.size(), nullptr);
}

PyObject* shape(std::initializer_list<int64_t> dims) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    Py_ssize_t i = 0;
    for (int64_t d : dims) {
        PyObject* v = t ? PyLong_FromLongLong(d) : nullptr;
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), i++, v);
    }
    return t.release();
}

// numpy.empty(n) for every array of a region, then its length as a C
// integer: whichever fails first for a grid size of AryNX x AryNY.
void raiseRegionSize(State* st, const ixar::Error& e) {
    ixar::Value nx = e.value[0], ny = e.value[1];
    // A text times a whole number repeats the text; only whether it comes
    // out empty matters to what follows, so a repetition count above one
    // need not be honoured.
    const bool text = nx.kind == ixar::Value::Kind::Text || ny.kind == ixar::Value::Kind::Text;
    for (ixar::Value* v : {&nx, &ny})
        if (text && v->kind == ixar::Value::Kind::Int && v->i > 1) v->i = 1;
    Ref x(valueObject(nx)), y(valueObject(ny));
    Ref n(x && y ? PyNumber_Multiply(x.get(), y.get()) : nullptr);
    if (!n) return;
    for (int i = 0; i < 2; ++i) {
        Ref a(call(st->empty, {n.get()}));
        if (!a) return;
    }
    Ref width(PyLong_FromLongLong(e.n[0]));
    Ref dims(width ? PyTuple_Pack(2, n.get(), width.get()) : nullptr);
    Ref a(call(st->empty, {dims.get(), st->float32}));
    if (!a) return;
    PyLong_AsLongLong(n.get());
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a region size the reader rejected is valid");
}

void raiseComputed(State* st, const ixar::Error& e) {
    using K = ixar::ErrorKind;
    switch (e.kind()) {
        case K::RowBeyondGrid: {  // spectra[row] of a cube with NPY rows
            Ref cube(call(st->empty, {Ref(PyLong_FromLongLong(e.n[2])).get()}));
            Ref row(PyLong_FromLongLong(e.n[0]));
            if (cube && row) mustFail(PyObject_GetItem(cube.get(), row.get()));
            return;
        }
        case K::NoGridColumns: {  // index % NPX with NPX = 0
            Ref index(PyLong_FromLongLong(e.n[0])), zero(PyLong_FromLong(0));
            if (index && zero) mustFail(PyNumber_Remainder(index.get(), zero.get()));
            return;
        }
        case K::TraceNotMap: {  // reshape of a trace into (NPY, NPX)
            Ref values(call(st->empty, {Ref(PyLong_FromLongLong(e.n[0])).get(), st->float32}));
            Ref dims(shape({e.n[2], e.n[3]}));
            Ref reshaped(values && dims ? PyObject_CallMethod(values.get(), "reshape", "(O)", dims.get()) : nullptr);
            if (reshaped) PyErr_SetString(PyExc_ValueError, e.what());
            return;
        }
        case K::NoRecords: {  // stacking nothing
            Ref none(PyList_New(0));
            if (none) mustFail(PyObject_CallOneArg(e.n[0] ? st->dstack : st->vstack, none.get()));
            return;
        }
        case K::RowMissing:
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return;
        case K::UnknownSpectrum: {
            Ref key(valueObject(e.value[0]));
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
            return;
        }
        case K::TraceColumn: {  // trace_array[:, Fileindex - 1]
            Ref traces(call(st->empty, {Ref(shape({e.n[0], e.n[1]})).get(), st->float32}));
            Ref value(traces ? valueObject(e.value[0]) : nullptr);
            Ref one(PyLong_FromLong(1));
            Ref index(value && one ? PyNumber_Subtract(value.get(), one.get()) : nullptr);
            Ref all(index ? PySlice_New(nullptr, nullptr, nullptr) : nullptr);
            Ref key(all ? PyTuple_Pack(2, all.get(), index.get()) : nullptr);
            if (key) mustFail(PyObject_GetItem(traces.get(), key.get()));
            return;
        }
        case K::GroupNotIndex: {
            Ref group(valueObject(e.value[0]));
            if (group) mustFail(PyNumber_Index(group.get()));
            return;
        }
        case K::RegionSize:
            raiseRegionSize(st, e);
            return;
        default:
            PyErr_SetString(PyExc_SystemError, e.what());
    }
}

}  // namespace

void reportReadFailures(State* st, const ixar::ReadFailures& failures) {
    for (const ixar::ReadFailure& f : failures) {
        raiseShortUnpack(st, structFormat(f.primitive), f.got);
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        // First the exception with its traceback...
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        PyErr_Restore(type, value, tb);
        PyErr_PrintEx(0);
        // ...then once more as ignored in the primitive.
        PyErr_Restore(type, value, tb);
        Ref where(PyUnicode_FromFormat("ixarkit.%s", ixar::nameOf(f.primitive)));
        PyErr_WriteUnraisable(where ? where.get() : Py_None);
    }
}

namespace {

void setCoreError(State* st, const ixar::Error& e) {
    using K = ixar::ErrorKind;
    switch (e.kind()) {
        case K::Os:
            errno = e.code();
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        case K::Damaged:
            PyErr_SetString(PyExc_ValueError, e.what());
            return;
        case K::Missing: {
            Ref key(PyUnicode_FromString(e.what()));
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
            return;
        }
        case K::NotInteger:
            PyErr_SetString(PyExc_TypeError, e.what());
            return;
        case K::DecodeUtf8:
        case K::DecodeAscii: {
            // Decode again with the interpreter's codec, so the caller gets its
            // UnicodeDecodeError, position and reason included.
            const std::string& b = e.bytes();
            Ref s(e.kind() == K::DecodeUtf8
                      ? PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), "strict")
                      : PyUnicode_DecodeASCII(b.data(), static_cast<Py_ssize_t>(b.size()), "strict"));
            if (s) PyErr_Format(PyExc_SystemError, "text the reader rejected decodes: %s", e.what());
            return;
        }
        case K::ShortSignature:
            raiseShortUnpack(st, ">i", e.code());
            return;
        case K::NoMemory:
            PyErr_NoMemory();
            return;
        default:
            raiseComputed(st, e);
    }
}

}  // namespace

// Every failure the core reports comes from the file's content.
void setError(State* st, const ixar::Error& e) {
    setCoreError(st, e);
    tagFailure(kDamaged);
}

PythonError::PythonError() : held_(std::make_shared<Held>()) {
    PyErr_Fetch(&held_->type, &held_->value, &held_->tb);
    if (!held_->type) {  // nothing was set: say so rather than lose the failure
        PyErr_SetString(PyExc_SystemError, "a callback failed without an exception");
        PyErr_Fetch(&held_->type, &held_->value, &held_->tb);
    }
}

void PythonError::restore() const {
    Py_XINCREF(held_->type);
    Py_XINCREF(held_->value);
    Py_XINCREF(held_->tb);
    PyErr_Restore(held_->type, held_->value, held_->tb);
}

PythonError::Held::~Held() {
    const PyGILState_STATE g = PyGILState_Ensure();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyGILState_Release(g);
}

void tagFailure(const char* kind) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    Ref tag(PyUnicode_FromString(kind));
    // MemoryError may be a shared instance: it is left untagged.
    if (!tag || !value || PyErr_GivenExceptionMatches(type, PyExc_MemoryError) ||
        PyObject_SetAttrString(value, "failure", tag.get()) < 0)
        PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

void setNotIxar(bool ours) {
    PyErr_SetString(PyExc_ValueError,
                    ours ? "not an IXAR file (its first bytes are not the signature)" : "Can't process a non-Ixar file");
    tagFailure(kNotIxar);
}

void setCutDirectory(const ixar::ReadFailure& f, int64_t fileSize) {
    PyErr_Format(PyExc_ValueError,
                 "damaged directory: a read at offset %lld ends at the end of the file (%lld bytes), so the directory "
                 "is cut short",
                 static_cast<long long>(f.at), static_cast<long long>(fileSize));
    tagFailure(kDamaged);
}

void setPastEnd(const ixar::ReadFailure& f, int64_t fileSize) {
    PyErr_Format(PyExc_ValueError,
                 "damaged file: a value of %d bytes at offset %lld is cut by the end of the file (byte %lld); %d of "
                 "its bytes are there",
                 ixar::widthOf(f.primitive), static_cast<long long>(f.at), static_cast<long long>(fileSize), f.got);
    tagFailure(kDamaged);
}

void setCurrentException(State* st, std::exception_ptr ex) {
    try {
        std::rethrow_exception(ex);
    } catch (const PythonError& e) {
        e.restore();
    } catch (const ixar::Error& e) {
        setError(st, e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
}

}  // namespace ixbind
