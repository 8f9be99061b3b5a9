// Core errors and failed reads, as the caller sees them. This is the only
// place that turns what the core reports into Python exceptions; where the
// documented exception is worded by the interpreter or by numpy, the step
// that fails is run again (by ixarkit._errors), on the numbers the core
// gives, so that the caller gets that exception exactly.
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

// The name of a documented step that failed, as ixarkit._errors.raise_step
// knows it.
const char* stepName(ixar::ErrorKind kind) {
    using K = ixar::ErrorKind;
    switch (kind) {
        case K::RowBeyondGrid: return "row-beyond-grid";
        case K::NoGridColumns: return "no-grid-columns";
        case K::TraceNotMap: return "trace-not-map";
        case K::NoRecords: return "no-records";
        case K::RowMissing: return "row-missing";
        case K::UnknownSpectrum: return "unknown-spectrum";
        case K::TraceColumn: return "trace-column";
        case K::GroupNotIndex: return "group-not-index";
        case K::RegionSize: return "region-size";
        case K::TextCoordinate: return "text-coordinate";
        default: return "";
    }
}

// What the documented step raises, run again in Python on the core's
// numbers; the exception comes without the frames of that run, as if
// raised here.
void raiseStep(State* st, const ixar::Error& e) {
    Ref values(Py_BuildValue("(NN)", valueObject(e.value[0]), valueObject(e.value[1])));
    if (!values) return;
    Ref r(PyObject_CallFunction(st->raiseStep, "s(LLLL)Os", stepName(e.kind()), static_cast<long long>(e.n[0]),
                                static_cast<long long>(e.n[1]), static_cast<long long>(e.n[2]),
                                static_cast<long long>(e.n[3]), values.get(), e.what()));
    if (r) PyErr_SetString(PyExc_SystemError, "a failed step passed");
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(tb);
    if (value) PyException_SetTraceback(value, Py_None);
    PyErr_Restore(type, value, nullptr);
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
            raiseStep(st, e);
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
