// Shared pieces of the CPython layer: owned references, module state, the
// conversion of core errors into Python exceptions, core calls without the
// interpreter, and the arrays a plan fills. Python drives the reading
// (ixarkit._reader); this layer answers its calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GLIBCXX__)
// abi::__forced_unwind: the unwinding of a thread that glibc cancels or
// ends, which must not be caught (libstdc++ only; libc++ and MSVC end such
// threads without an exception).
#include <cxxabi.h>
#define IXBIND_FORCED_UNWIND 1
#endif
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "container/directory.hpp"
#include "container/file.hpp"
#include "container/pages.hpp"
#include "container/params.hpp"
#include "container/selection.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"

namespace ixbind {

// A new reference to o (which may be null).
inline PyObject* newRef(PyObject* o) noexcept {
    Py_XINCREF(o);
    return o;
}

// An owned reference; null means "an exception is set" wherever a function
// hands one back.
struct DecRef {
    void operator()(PyObject* o) const noexcept { Py_DECREF(o); }
};
using Ref = std::unique_ptr<PyObject, DecRef>;

// Everything the module needs from other modules, looked up once when the
// module is executed and never changed afterwards.
struct State {
    PyObject *linspace, *empty, *zeros, *float32, *float64, *ndarray;
    PyObject* sourceType;  // ixarkit._core.Source
    PyObject* pagesType;   // ixarkit._core.Pages
    PyObject* layoutType;  // ixarkit._core.Layout
    PyObject* structUnpack;
    // The Python side of the reader, which the package hands over (see
    // kHanded): the public functions' bodies, failures.
    PyObject *help, *isIxarFile, *listContents, *getIxarData, *fail;
    PyObject* readReports;  // a context variable: who counts the reports of failed reads (see errors.cpp)
};

State* stateOf(PyObject* module);
// The state of a module the package has configured; nullptr with ImportError
// where it has not (the module imported on its own).
State* readyState(PyObject* module);
// configure(**helpers): what the package hands the module (see state.cpp).
PyObject* configure(PyObject* module, PyObject* args, PyObject* kwargs);
int stateTraverse(PyObject* module, visitproc visit, void* arg);
int stateClear(PyObject* module);
int stateInit(PyObject* module);
// Adds the Source type of the handle API to the module.
int addSourceType(PyObject* module);
// Makes the type of the memory large results share.
int addPagesType(PyObject* module);
// A block of at least `bytes` in huge pages, exporting it as a writable
// buffer; block is the memory, which lives as long as the object. Null,
// with no exception set, when there is no memory.
PyObject* newPages(State* st, size_t bytes, const ixar::PageBlock*& block);

// Reports each failed primitive read on standard error, in order: the
// exception with its traceback, then as an exception ignored in the
// primitive; where the context variable readReports holds a callable (the
// command line's count), each report is shown only if it returns true.
// Must be called with no exception set.
void reportReadFailures(State* st, const ixar::ReadFailures& failures);

// An exception raised by Python code the core called back (a file
// object's read), carried through the core to the caller unchanged: type,
// value and traceback. Its references are dropped with the interpreter
// held, wherever the last copy goes.
class PythonError : public std::exception {
public:
    // Takes the exception currently set; the interpreter must be held.
    PythonError();
    // Sets it again; the interpreter must be held.
    void restore() const;
    const char* what() const noexcept override { return "an exception raised in Python"; }

private:
    struct Held {
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        ~Held();
    };
    std::shared_ptr<Held> held_;
};

// A file without the signature: "Can't process a non-Ixar file", as the
// literal functions raise it, or our API's own wording.
void setNotIxar(State* st, bool ours = false);
// Our API's error for a directory that the end of the file cuts short.
void setCutDirectory(State* st, const ixar::ReadFailure& f, int64_t fileSize);
// ValueError for a read of our own API that the end of the file cut short,
// naming where it starts and where the file ends.
void setPastEnd(State* st, const ixar::ReadFailure& f, int64_t fileSize);

// The exception set loses its traceback: it comes as if raised by the
// built-in function that the caller called.
void dropTraceback();

// Sets the Python exception for a core error: the one place where the
// core's failures become what a caller sees.
void setError(State* st, const ixar::Error& e);
// Sets the Python exception for whatever the core threw.
void setCurrentException(State* st, std::exception_ptr ex);

// The thread state that the core call running on this thread let go of,
// which callbacks from the core into Python take back.
inline thread_local PyThreadState* tCoreCaller = nullptr;

// Sets the Python exception for a C++ exception that reached the edge of
// the module: allocation failure is MemoryError, anything else SystemError.
void setEscaped(std::exception_ptr ex);

// Every entry point of the module (its functions, its types' methods and
// constructors) through this: no C++ exception reaches the interpreter.
template <auto F, class... Args>
PyObject* guarded(Args... args) {
    try {
        return F(args...);
    }
#ifdef IXBIND_FORCED_UNWIND
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        setEscaped(std::current_exception());
        return nullptr;
    }
}
template <auto F>
PyObject* guardedMethod(PyObject* self, PyObject* arg) { return guarded<F, PyObject*, PyObject*>(self, arg); }

// Runs a core operation without holding the interpreter; failed primitive
// reads are reported and core errors become Python exceptions. Returns false
// with an exception set when the operation threw.
template <class Fn>
bool callCore(State* st, ixar::ReadFailures& failures, Fn&& fn, bool report = true) {
    std::exception_ptr ex;
    PyThreadState* const saved = PyEval_SaveThread();
    PyThreadState* const outer = std::exchange(tCoreCaller, saved);
    try {
        fn();
    }
#ifdef IXBIND_FORCED_UNWIND
    catch (abi::__forced_unwind&) {
        throw;  // a thread the finalizing interpreter ends (in a callback into Python) must go on ending
    }
#endif
    catch (...) {
        ex = std::current_exception();
    }
    tCoreCaller = outer;
    PyEval_RestoreThread(saved);
    if (report) {
        reportReadFailures(st, failures);
        failures.clear();
    }
    if (ex) {
        setCurrentException(st, ex);
        return false;
    }
    return true;
}

// Runs fn with the interpreter, called back from within a core call on this
// thread (in the thread state that call let go of, so in its interpreter);
// fn returns false with an exception set, which is thrown as a PythonError.
template <class Fn>
void withInterpreter(Fn&& fn) {
    if (!tCoreCaller) throw std::logic_error("a callback into Python outside a core call");
    PyEval_RestoreThread(tCoreCaller);
    std::optional<PythonError> error;
    if (!fn()) error.emplace();
    PyEval_SaveThread();
    if (error) throw *error;
}

// A descriptor of the core's own for the file that one of the interpreter's
// descriptors is open on (the two C runtimes may number them apart: the
// file comes over as its system handle); -1 with an exception set.
int adoptDescriptor(long fd);

// A new dict of parameter records, later records replacing earlier values.
PyObject* paramDict(const ixar::ParamList& params);
// The labels of traces as a list of str.
PyObject* labelList(const std::vector<std::string>& labels);
// listContents' list of (data type, dimension, derivative) of a directory.
PyObject* listing(const std::vector<ixar::DirEntry>& directory);
// Python values of the core's values.
PyObject* valueObject(const ixar::Value& v);

// The arrays of a plan: owning references, and spans over their memory,
// valid for as long as the references are held (until the result is built
// or the error raised).
struct PlanArrays {
    std::vector<Ref> refs;
    std::vector<std::span<unsigned char>> spans;

    // Makes the arrays of a plan and executes it: quiet, failed reads are
    // not reported but raised; false with an exception set.
    // out: a C-contiguous float32 array of the caller's for array 0.
    bool fill(State* st, const ixar::File& file, ixar::Plan& plan, bool quiet, bool reference,
              std::vector<std::string>& labels, PyObject* out = nullptr);
    PyObject* operator[](size_t i) const { return refs[i].get(); }

private:
    // Arrays that are large together share one block of huge pages, each a
    // view of its part: their first touch then costs a fault per 2 MiB, not
    // per 4 KiB. Without a block (small results, or no memory for one) each
    // array is allocated on its own.
    void share(State* st, const ixar::Plan& plan);
    // The next array of the plan; false with an exception set.
    bool make(State* st, const ixar::ArraySpec& a, PyObject* out);
    Ref pages_;                               // owns block_
    const ixar::PageBlock* block_ = nullptr;
    size_t used_ = 0;
};

}  // namespace ixbind
