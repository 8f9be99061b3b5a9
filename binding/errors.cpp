// Core errors and failed reads, as the caller sees them. Every failure the
// core reports, and the reader's own (a file that is no IXAR file, a read
// cut by the end of the file), is raised by ixarkit._errors.fail from its
// kind and numbers: there each becomes its exception, tagged with its kind
// of failure; where the documented exception is worded by the interpreter
// or by numpy, the step that fails is run again on the core's numbers.
#include <algorithm>

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

// Calls fn(args), which raises: the exception comes without the frames of
// that run, as if raised here. Steals args.
void raiseFrom(PyObject* fn, PyObject* args) {
    Ref a(args);
    Ref r(a ? PyObject_Call(fn, a.get(), nullptr) : nullptr);
    if (r) PyErr_SetString(PyExc_SystemError, "a failure passed");
    dropTraceback();
}

}  // namespace

void dropTraceback() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(tb);
    if (value) PyException_SetTraceback(value, Py_None);
    PyErr_Restore(type, value, nullptr);
}

void reportReadFailures(State* st, const ixar::ReadFailures& failures) {
    for (const ixar::ReadFailure& f : failures) {
        PyObject* counter = nullptr;
        if (PyContextVar_Get(st->readReports, nullptr, &counter) < 0) PyErr_Clear();
        if (counter) {
            Ref c(counter), shown(PyObject_CallNoArgs(counter));
            const int show = shown ? PyObject_IsTrue(shown.get()) : -1;
            if (show < 0) PyErr_WriteUnraisable(counter);
            if (show == 0) continue;
        }
        // struct.unpack on the bytes the read found: the interpreter's own
        // error, message and all (called directly: no Python code runs that
        // could take a pending signal's exception for this one).
        const std::string zeros(static_cast<size_t>(std::max(f.got, 0)), '\0');
        Ref r(PyObject_CallFunction(st->structUnpack, "sy#", structFormat(f.primitive), zeros.data(),
                                    static_cast<Py_ssize_t>(zeros.size())));
        if (r) PyErr_SetString(PyExc_SystemError, "an unpack of a short read succeeded");
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
    if (e.kind() == ixar::ErrorKind::NoMemory && e.n[0] <= 0) {
        PyErr_NoMemory();
        return;
    }
    const std::string& b = e.bytes();
    raiseFrom(st->fail, Py_BuildValue("(sisy#(LLLL)(NN))", ixar::nameOf(e.kind()), e.code(), e.what(), b.data(),
                                      static_cast<Py_ssize_t>(b.size()), static_cast<long long>(e.n[0]),
                                      static_cast<long long>(e.n[1]), static_cast<long long>(e.n[2]),
                                      static_cast<long long>(e.n[3]), valueObject(e.value[0]),
                                      valueObject(e.value[1])));
}

void setNotIxar(State* st, bool ours) { raiseFrom(st->fail, Py_BuildValue("(sO)", "not-ixar", ours ? Py_True : Py_False)); }

void setCutDirectory(State* st, const ixar::ReadFailure& f, int64_t fileSize) {
    raiseFrom(st->fail, Py_BuildValue("(sLL)", "cut-directory", static_cast<long long>(f.at),
                                      static_cast<long long>(fileSize)));
}

void setPastEnd(State* st, const ixar::ReadFailure& f, int64_t fileSize) {
    raiseFrom(st->fail, Py_BuildValue("(siLLi)", "past-end", ixar::widthOf(f.primitive), static_cast<long long>(f.at),
                                      static_cast<long long>(fileSize), f.got));
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

void setEscaped(std::exception_ptr ex) {
    try {
        std::rethrow_exception(ex);
    } catch (const PythonError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "an unknown C++ exception");
    }
}

void setCurrentException(State* st, std::exception_ptr ex) {
    try {
        std::rethrow_exception(ex);
    } catch (const ixar::Error& e) {
        setError(st, e);
    } catch (...) {
        setEscaped(std::current_exception());
    }
}

}  // namespace ixbind
