// Core values to Python objects, and the calls that build results.
#include "binding.hpp"
#include "container/listing.hpp"

namespace ixbind {

PyObject* valueObject(const ixar::Value& v) {
    switch (v.kind) {
        case ixar::Value::Kind::Int: return PyLong_FromLong(v.i);
        case ixar::Value::Kind::Double: return PyFloat_FromDouble(v.d);
        case ixar::Value::Kind::Text:
            return PyUnicode_DecodeASCII(v.text.data(), static_cast<Py_ssize_t>(v.text.size()), "strict");
    }
    Py_RETURN_NONE;
}

PyObject* paramDict(const ixar::ParamList& params) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const ixar::ParamRecord& rec : params) {
        Ref key(PyUnicode_DecodeUTF8(rec.name.data(), static_cast<Py_ssize_t>(rec.name.size()), "strict"));
        Ref value(valueObject(rec.value));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
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

PyObject* listing(const std::vector<ixar::DirEntry>& directory) {
    std::vector<ixar::ListingEntry> entries;
    try {
        entries = ixar::listContents(directory);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref out(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    for (size_t i = 0; out && i < entries.size(); ++i) {
        const ixar::ListingEntry& e = entries[i];
        PyObject* t = Py_BuildValue("(sss)", e.dataType, e.is3D ? "3D" : "2D", ixar::derivativeName(e.derivType));
        if (!t) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), t);
    }
    return out.release();
}

}  // namespace ixbind
