// Core errors and failed reads, as the caller sees them.
#include <cerrno>
#include <new>

#include "binding.hpp"

namespace ixbind {

namespace {

// struct.unpack on the bytes a read found: the interpreter's own error for a
// read that came up short, message and all.
void raiseShortUnpack(State* st, const char* format, int got) {
    std::string zeros(static_cast<size_t>(got > 0 ? got : 0), '\0');
    Ref bytes(PyBytes_FromStringAndSize(zeros.data(), static_cast<Py_ssize_t>(zeros.size())));
    if (!bytes) return;
    Ref r(PyObject_CallFunction(st->structUnpack, "sO", format, bytes.get()));
    if (r) PyErr_Format(PyExc_SystemError, "unpack of a short read succeeded");
}

}  // namespace

void reportReadFailures(State* st, const ixar::ReadFailures& failures) {
    for (const ixar::ReadFailure& f : failures) {
        raiseShortUnpack(st, ixar::structFormatOf(f.primitive), f.got);
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

void setError(State* st, const ixar::Error& e) {
    using ixar::ErrorKind;
    switch (e.kind()) {
        case ErrorKind::Os:
            errno = e.code();
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        case ErrorKind::Value:
            PyErr_SetString(PyExc_ValueError, e.what());
            return;
        case ErrorKind::Key: {
            Ref key(PyUnicode_FromString(e.what()));
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
            return;
        }
        case ErrorKind::Type:
            PyErr_SetString(PyExc_TypeError, e.what());
            return;
        case ErrorKind::DecodeUtf8:
        case ErrorKind::DecodeAscii: {
            // Decode again with the interpreter's codec, so the caller gets its
            // UnicodeDecodeError, position and reason included.
            const std::string& b = e.bytes();
            Ref s(e.kind() == ErrorKind::DecodeUtf8
                      ? PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), "strict")
                      : PyUnicode_DecodeASCII(b.data(), static_cast<Py_ssize_t>(b.size()), "strict"));
            if (s) PyErr_Format(PyExc_SystemError, "text the reader rejected decodes: %s", e.what());
            return;
        }
        case ErrorKind::ShortRead:
            raiseShortUnpack(st, ">i", e.code());
            return;
        case ErrorKind::Memory:
            PyErr_NoMemory();
            return;
    }
    PyErr_SetString(PyExc_SystemError, e.what());
}

void setCurrentException(State* st, std::exception_ptr ex) {
    try {
        std::rethrow_exception(ex);
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
