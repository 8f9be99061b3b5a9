// Opening files by path with the interpreter's own rules and errors, then
// reading through the descriptor with positioned reads.
#include "binding.hpp"
#include "container/directory.hpp"

namespace ixbind {

OpenFile::~OpenFile() {
    if (!raw_) return;
    // Closing on an error path must not replace the exception being raised.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    close();
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

bool OpenFile::open(State* st, PyObject* path) {
    Ref mode(PyUnicode_FromString("rb"));
    if (!mode) return false;
    PyObject* args[] = {path, mode.get()};
    raw_ = PyObject_Vectorcall(st->fileIO, args, 2, nullptr);
    if (!raw_) return false;
    Ref fd(PyObject_CallMethod(raw_, "fileno", nullptr));
    if (!fd) return false;
    int n = static_cast<int>(PyLong_AsLong(fd.get()));
    if (n == -1 && PyErr_Occurred()) return false;
    if (!ixar::platform::kSharedDescriptors && (n = own_ = adoptDescriptor(n)) < 0) return false;
    try {
        file_.emplace(n);
    } catch (...) {
        setCurrentException(st, std::current_exception());
        return false;
    }
    return true;
}

int adoptDescriptor(long fd) {
    intptr_t handle = fd;
    if (!ixar::platform::kSharedDescriptors) {
        Ref msvcrt(PyImport_ImportModule("msvcrt"));
        Ref h(msvcrt ? PyObject_CallMethod(msvcrt.get(), "get_osfhandle", "l", fd) : nullptr);
        if (!h) return -1;
        handle = static_cast<intptr_t>(PyLong_AsLongLong(h.get()));
        if (handle == -1 && PyErr_Occurred()) return -1;
    }
    const int own = ixar::platform::adopt(handle);
    if (own < 0) PyErr_SetFromErrno(PyExc_OSError);
    return own;
}

bool OpenFile::close() {
    if (!raw_) return true;
    file_.reset();
    if (own_ >= 0) ixar::platform::close(std::exchange(own_, -1));
    Ref r(PyObject_CallMethod(raw_, "close", nullptr));
    Py_CLEAR(raw_);
    return static_cast<bool>(r);
}

bool openPathArgument(State* st, PyObject* path, OpenFile& f) {
    // open() would take an integer as a descriptor, which this call would
    // then close behind its owner's back.
    if (!PyFloat_Check(path) && PyIndex_Check(path)) {
        PyErr_Format(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %.200s",
                     Py_TYPE(path)->tp_name);
        return false;
    }
    return f.open(st, path);
}

int checkSignature(State* st, const OpenFile& f) {
    bool ok = false;
    ixar::ReadFailures none;
    if (!callCore(st, none, [&] { ok = ixar::hasSignature(f.file()); })) return -1;
    return ok ? 1 : 0;
}

bool readDirectory(State* st, const OpenFile& f, std::vector<ixar::DirEntry>& directory) {
    const int ok = checkSignature(st, f);
    if (!ok) setNotIxar(st);
    ixar::ReadFailures failures;
    return ok > 0 && callCore(st, failures, [&] { directory = ixar::readDirectory(f.file(), failures); });
}

}  // namespace ixbind
