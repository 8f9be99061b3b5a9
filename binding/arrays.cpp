// The arrays of a plan, made and filled. A large result takes one
// huge-page block of memory that every array of it views, freed with the
// last of them.
#include <cstring>

#include "binding.hpp"
#include "exec/execute.hpp"

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

constexpr size_t kArrayAlign = 64;
size_t aligned(int64_t bytes) { return (static_cast<size_t>(bytes) + kArrayAlign - 1) / kArrayAlign * kArrayAlign; }

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

void PlanArrays::share(State* st, const ixar::Plan& plan) {
    size_t total = 0;
    for (const ixar::ArraySpec& a : plan.arrays) {
        const int64_t b = a.bytes();
        if (b < 0 || static_cast<uint64_t>(b) > (SIZE_MAX >> 2) - total) return;  // numpy refuses it array by array
        total += aligned(b);
    }
    if (total >= ixar::kHugeMin) pages_ = Ref(newPages(st, total, block_));
}

bool PlanArrays::make(State* st, const ixar::ArraySpec& a, PyObject* out) {
    if (out) {  // the caller's memory, checked to be what the plan fills
        Py_buffer view;
        if (PyObject_GetBuffer(out, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
        bool fits = !a.f64 && view.itemsize == 4 && view.format && view.format[0] == 'f' && !view.format[1] &&
                    view.ndim == static_cast<int>(a.shape.size());
        for (int i = 0; fits && i < view.ndim; ++i) fits = view.shape[i] == a.shape[static_cast<size_t>(i)];
        if (fits && a.zeroed) std::memset(view.buf, 0, static_cast<size_t>(view.len));
        if (fits) spans.emplace_back(static_cast<unsigned char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        if (!fits) {
            PyErr_SetString(PyExc_ValueError, "out must be a writable C-contiguous float32 array of the selection's shape");
            return false;
        }
        refs.push_back(Ref(newRef(out)));
        return true;
    }
    Ref dims(PyTuple_New(static_cast<Py_ssize_t>(a.shape.size())));
    if (!dims) return false;
    for (size_t i = 0; i < a.shape.size(); ++i) {
        PyObject* v = PyLong_FromLongLong(a.shape[i]);
        if (!v) return false;
        PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(i), v);
    }
    PyObject* dtype = a.f64 ? st->float64 : st->float32;
    const int64_t bytes = a.bytes();
    Ref arr;
    if (pages_ && bytes >= 0 && aligned(bytes) <= block_->size() - used_) {
        // A view of the block, cleared when it is reused memory.
        unsigned char* const base = block_->data() + used_;
        if (a.zeroed && !block_->zeroed()) {  // without the interpreter: other threads read meanwhile
            Py_BEGIN_ALLOW_THREADS
            std::memset(base, 0, static_cast<size_t>(bytes));
            Py_END_ALLOW_THREADS
        }
        Ref offset(PyLong_FromSize_t(used_));
        if (!offset) return false;
        PyObject* args[] = {dims.get(), dtype, pages_.get(), offset.get()};
        arr = Ref(PyObject_Vectorcall(st->ndarray, args, 4, nullptr));
        if (!arr) return false;
        spans.emplace_back(base, static_cast<size_t>(bytes));
        used_ += aligned(bytes);
    } else {
        PyObject* args[] = {dims.get(), dtype};
        arr = Ref(PyObject_Vectorcall(a.zeroed ? st->zeros : st->empty, args, 2, nullptr));
        if (!arr) return false;
        Py_buffer view;
        if (PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
        spans.emplace_back(static_cast<unsigned char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
    }
    refs.push_back(std::move(arr));
    return true;
}

bool PlanArrays::fill(State* st, const ixar::File& file, ixar::Plan& plan, bool quiet, bool reference,
                      std::vector<std::string>& labels, PyObject* out) {
    // The arrays, in the order the points come: one that cannot be made
    // ends the plan there.
    std::optional<PythonError> held;  // raised once the reads that come before it have run
    if (!out) share(st, plan);
    for (size_t i = 0; i < plan.arrays.size(); ++i)
        if (!make(st, plan.arrays[i], i == 0 ? out : nullptr)) {
            held.emplace();
            plan.cutAt(plan.arrays[i].step);
            break;
        }
    refs.resize(plan.arrays.size());
    spans.resize(plan.arrays.size());
    ixar::ReadFailures failures;
    bool external = false;
    auto run = [&] {
        try {
            (reference ? ixar::executeReference : ixar::execute)(file, plan, spans, labels, failures);
        } catch (const ixar::Error& e) {
            if (e.kind() != ixar::ErrorKind::External) throw;
            external = true;
        }
    };
    if (!callCore(st, failures, run, !quiet)) return false;
    if (external) held->restore();
    else if (!failures.empty())  // quiet reads: a read cut by the end of the file
        setPastEnd(st, failures.front(), file.size());
    return !external && failures.empty();
}

}  // namespace ixbind
