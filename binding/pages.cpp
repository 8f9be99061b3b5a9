// Memory for the arrays of a large result: one huge-page block that every
// array of the result views, freed with the last of them.
#include "binding.hpp"

namespace ixbind {

namespace {

struct PagesObject {
    PyObject_HEAD
    ixar::PageBlock* block;
};

int pagesGetBuffer(PyObject* o, Py_buffer* view, int flags) {
    auto* self = reinterpret_cast<PagesObject*>(o);
    void* data = self->block ? self->block->data() : nullptr;
    const auto len = static_cast<Py_ssize_t>(self->block ? self->block->size() : 0);
    return PyBuffer_FillInfo(view, o, data, len, 0, flags);
}

void pagesDealloc(PyObject* o) {
    auto* self = reinterpret_cast<PagesObject*>(o);
    PyTypeObject* type = Py_TYPE(o);
    delete self->block;
    type->tp_free(o);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pagesDealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(pagesGetBuffer)},
    {Py_tp_doc, const_cast<char*>("Memory shared by the arrays of one result.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"ixarkit._core.Pages", sizeof(PagesObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int addPagesType(PyObject* module) {
    State* st = stateOf(module);
    st->pagesType = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
    return st->pagesType ? 0 : -1;
}

PyObject* newPages(State* st, size_t bytes, const ixar::PageBlock*& out) {
    ixar::PageBlock* block;
    try {
        block = new ixar::PageBlock(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;  // the caller allocates array by array instead
    }
    auto* self = PyObject_New(PagesObject, reinterpret_cast<PyTypeObject*>(st->pagesType));
    if (!self) {
        delete block;
        PyErr_Clear();
        return nullptr;
    }
    out = self->block = block;
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace ixbind
