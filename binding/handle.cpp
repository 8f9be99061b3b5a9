// ixarkit._core.Source: a file opened once for the handle API (ixarkit.open),
// from a descriptor, bytes in memory or a reader callable (ixarkit._sources
// makes these of paths and file objects); and ixarkit._core.Layout, a data
// set of it planned once, which a data block keeps and reads through (whole,
// a selection, the times or labels behind its records). Failed reads are
// not reported on standard error here: they are errors at once.
#include <algorithm>
#include <unordered_map>

#include <cstring>
#include <memory>

#include "container/listing.hpp"
#include "binding.hpp"
#include "plan/family.hpp"
#include "exec/execute.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"

namespace ixbind {

namespace {

// Bytes asked of a reader callable in one call.
constexpr size_t kObjectChunk = size_t{16} << 20;

// What a source holds open. The last reference goes with the interpreter
// lock held (close() or the end of a read), so closing never happens while
// a read without the lock still uses the bytes.
struct Resource {
    std::optional<ixar::File> file;
    PyObject* owner = nullptr;  // the object that keeps the bytes, or the reader callable
    int fd = -1;                // a duplicate of the descriptor given
    Py_buffer view{};
    bool hasView = false;
    std::vector<ixar::DirEntry> directory;

    ~Resource() {
        file.reset();
        if (hasView) PyBuffer_Release(&view);
        if (fd >= 0) ixar::platform::close(fd);
        Py_XDECREF(owner);
    }

    // Called by the core, without the interpreter: owner(offset, n) gives
    // up to n bytes, fewer only at the end (the Python side checks the file
    // object behind it), in a bytes-like object of its own that is copied
    // here. Its exceptions reach the caller unchanged (as a PythonError).
    size_t readObject(int64_t offset, void* dst, size_t n) {
        size_t done = 0;
        withInterpreter([&] {
            while (done < n) {
                const size_t want = std::min(n - done, kObjectChunk);
                Ref r(PyObject_CallFunction(owner, "Ln", static_cast<long long>(offset) + static_cast<long long>(done),
                                            static_cast<Py_ssize_t>(want)));
                Py_buffer got;
                if (!r || PyObject_GetBuffer(r.get(), &got, PyBUF_SIMPLE) < 0) return false;
                const auto len = static_cast<size_t>(std::max<Py_ssize_t>(got.len, 0));
                if (len <= want) std::memcpy(static_cast<unsigned char*>(dst) + done, got.buf, len);
                PyBuffer_Release(&got);
                if (len > want) {
                    PyErr_Format(PyExc_OSError, "a read of %zu bytes gave %zu", want, len);
                    return false;
                }
                done += len;
                if (len < want) break;
            }
            return true;
        });
        return done;
    }
};

}  // namespace

namespace {

struct SourceObject {
    PyObject_HEAD
    std::shared_ptr<Resource>* res;  // null once closed
};

State* stateOfType(PyTypeObject* type) {
    PyObject* module = PyType_GetModule(type);
    return module ? readyState(module) : nullptr;
}

// Opens what the caller gave: a path, bytes in memory or a file object.
// A descriptor (duplicated: the caller may close its own), bytes in memory
// (read in place, kept alive), or a reader callable of `size` bytes.
bool openSource(PyObject* source, long long size, Resource& r) {
    if (PyLong_Check(source)) {
        const long fd = PyLong_AsLong(source);
        if (fd == -1 && PyErr_Occurred()) return false;
        if ((r.fd = adoptDescriptor(fd)) < 0) return false;
        r.file.emplace(r.fd);
        return true;
    }
    if (PyObject_CheckBuffer(source)) {
        if (PyObject_GetBuffer(source, &r.view, PyBUF_SIMPLE) < 0) return false;
        r.hasView = true;
        r.owner = newRef(source);
        r.file.emplace(r.view.buf, static_cast<size_t>(r.view.len));
        return true;
    }
    if (!PyCallable_Check(source) || size < 0) {
        PyErr_Format(PyExc_TypeError, "expected a descriptor, bytes, or a reader and its size, not %.200s",
                     Py_TYPE(source)->tp_name);
        return false;
    }
    r.owner = newRef(source);
    Resource* self = &r;
    r.file.emplace([self](int64_t offset, void* dst, size_t n) { return self->readObject(offset, dst, n); }, size);
    return true;
}

PyObject* sourceNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"source", "size", nullptr};
    PyObject* source;
    long long size = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|L:Source", const_cast<char**>(kw), &source, &size))
        return nullptr;
    State* st = stateOfType(type);
    if (!st) return nullptr;
    auto res = std::make_shared<Resource>();
    if (!openSource(source, size, *res)) return nullptr;

    bool signature = false;
    ixar::ReadFailures failures;
    auto check = [&] {
        try {
            signature = ixar::hasSignature(*res->file);
        } catch (const ixar::Error& e) {
            if (e.kind() != ixar::ErrorKind::ShortSignature) throw;  // shorter than a signature: not one
        }
    };
    if (!callCore(st, failures, check, false)) return nullptr;
    if (!signature) {
        setNotIxar(st, true);
        return nullptr;
    }
    if (!callCore(st, failures, [&] { res->directory = ixar::readDirectory(*res->file, failures); }, false))
        return nullptr;
    if (!failures.empty()) {
        setCutDirectory(st, failures.front(), res->file->size());
        return nullptr;
    }
    auto* self = reinterpret_cast<SourceObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->res = new std::shared_ptr<Resource>(std::move(res));
    return reinterpret_cast<PyObject*>(self);
}

void sourceDealloc(PyObject* o) {
    auto* self = reinterpret_cast<SourceObject*>(o);
    PyTypeObject* type = Py_TYPE(o);
    delete self->res;
    type->tp_free(o);
    Py_DECREF(type);
}

// The resource of an open source, kept for the duration of one call.
std::shared_ptr<Resource> opened(PyObject* o) {
    auto* self = reinterpret_cast<SourceObject*>(o);
    if (!self->res || !*self->res) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed IXAR file");
        return nullptr;
    }
    return *self->res;
}

PyObject* sourceClose(PyObject* o, PyObject*) {
    auto* self = reinterpret_cast<SourceObject*>(o);
    if (self->res) self->res->reset();
    Py_RETURN_NONE;
}

PyObject* sourceClosed(PyObject* o, void*) {
    auto* self = reinterpret_cast<SourceObject*>(o);
    return PyBool_FromLong(!self->res || !*self->res);
}

PyObject* sourceSize(PyObject* o, void*) {
    auto res = opened(o);
    return res ? PyLong_FromLongLong(res->file->size()) : nullptr;
}

PyObject* sourceContents(PyObject* o, PyObject*) {
    auto res = opened(o);
    if (!res) return nullptr;
    return listing(res->directory);
}

// ---------------------------------------------------------------- layouts

// A data set planned once: its layout, with the parameters and axes a
// result takes (the first read takes these while nothing else holds them,
// later reads copies of them), and the tuple ixarkit._families.layout makes
// the caller's Layout of, made when first asked for.
struct Kept {
    Ref source;  // the Source it reads from
    DataSetRequest req;
    ixar::Selection sel;
    std::shared_ptr<const ixar::Layout> layout;  // set once: reads use it without the interpreter
    Planned planned;
    bool taken = false;
    Ref info;
};

struct LayoutObject {
    PyObject_HEAD
    Kept* kept;
};

PyObject* sourceLayout(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    if (!st || !res) return nullptr;
    auto kept = std::make_unique<Kept>();
    if (!checkRequest(st, request, true, kept->req) || !selectRequest(st, res->directory, kept->req, kept->sel) ||
        !planDataSet(st, *res->file, kept->sel, kept->req, kept->planned, &kept->layout, nullptr))
        return nullptr;
    auto* self = PyObject_New(LayoutObject, reinterpret_cast<PyTypeObject*>(st->layoutType));
    if (!self) return nullptr;
    kept->source = Ref(newRef(o));
    self->kept = kept.release();
    return reinterpret_cast<PyObject*>(self);
}

void layoutDealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    delete reinterpret_cast<LayoutObject*>(o)->kept;
    PyObject_Free(o);
    Py_DECREF(type);
}

// The kept data set of a Layout whose source is open (res), and that is
// sound unless any; nullptr with an exception set.
Kept* keptOf(PyObject* o, State*& st, std::shared_ptr<Resource>& res, bool any = false) {
    Kept* k = reinterpret_cast<LayoutObject*>(o)->kept;
    if (!(st = stateOfType(Py_TYPE(o))) || !(res = opened(k->source.get()))) return nullptr;
    if (any || !k->layout->failure) return k;
    setError(st, *k->layout->failure);
    return nullptr;
}

// The parameters and axes again where a read took them, planned once more
// (the layout stays the one reads use); false with an exception set.
// Planning lets other threads run: they see the kept objects only once all
// are made, and one that kept them meanwhile wins.
bool replan(State* st, const Resource& res, Kept& k) {
    if (k.planned.params) return true;
    Planned fresh;
    std::shared_ptr<const ixar::Layout> again;
    if (!planDataSet(st, *res.file, k.sel, k.req, fresh, &again, nullptr)) return false;
    if (!k.planned.params) k.planned = std::move(fresh);
    return true;
}

// read(), read_reference(): the result getIxarData gives for the data set
// (its failure raised after the reads that come before it), or the same
// executed one record at a time by the reference executor.
template <bool Reference>
PyObject* layoutRead(PyObject* o, PyObject*) {
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, st, res, true);
    if (!k) return nullptr;
    if (!replan(st, *res, *k)) return nullptr;
    Planned& kept = k->planned;
    auto copy = [](const Ref& a) { return a ? Ref(PyObject_CallMethod(a.get(), "copy", nullptr)) : Ref(); };
    const bool take = !std::exchange(k->taken, true);
    const Planned fresh = take ? std::move(kept)
                               : Planned{copy(kept.params), copy(kept.x), copy(kept.mapX), copy(kept.mapY)};
    ixar::Plan plan;
    ixar::ReadFailures none;
    if (PyErr_Occurred() || !callCore(st, none, [&] { plan = ixar::planRead(*k->layout); }, false)) return nullptr;
    return readPlan(st, *res->file, fresh, std::move(plan), k->req, Reference);
}

// info(): what ixarkit._families.layout makes the caller's Layout of.
PyObject* layoutInfo(PyObject* o, PyObject*) {
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, st, res);
    if (!k) return nullptr;
    if (k->info) return newRef(k->info.get());
    // The tuple holds the kept objects: no read may take them.
    if (!replan(st, *res, *k)) return nullptr;
    k->taken = true;
    const Planned& p = k->planned;
    const ixar::Layout* l = k->layout.get();
    auto bytes = [](const auto& v) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), static_cast<Py_ssize_t>(8 * v.size()));
    };
    Ref points(l->family->points ? bytes(l->pointXY) : newRef(Py_None)), regions(PyList_New(0));
    for (size_t i = 0; regions && i < l->regions.size(); ++i) {
        Ref one(regionTuple(l->regions[i]));
        if (!one || PyList_Append(regions.get(), one.get()) < 0) return nullptr;
    }
    Ref shape(PyTuple_New(static_cast<Py_ssize_t>(l->shape.size())));
    for (size_t i = 0; shape && i < l->shape.size(); ++i)
        PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), PyLong_FromLongLong(l->shape[i]));
    Ref records(bytes(l->records));
    if (!points || !regions || !shape || PyErr_Occurred() || !records) return nullptr;
    k->info = Ref(Py_BuildValue("(sNOOOONNN)", l->family->name, shape.release(), p.params.get(), p.x.get(),
                                p.mapX ? p.mapX.get() : Py_None, p.mapY ? p.mapY.get() : Py_None,
                                regions.release(), points.release(), records.release()));
    return k->info ? newRef(k->info.get()) : nullptr;
}

// Indexes of one axis: a C-contiguous int64 array.
bool axisIndexes(PyObject* o, std::vector<int64_t>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    const bool fits = view.itemsize == 8 && view.format && (view.format[0] == 'q' || view.format[0] == 'l') &&
                      !view.format[1];
    if (fits) {
        out.resize(static_cast<size_t>(view.len / 8));
        if (view.len) std::memcpy(out.data(), view.buf, static_cast<size_t>(view.len));
    }
    PyBuffer_Release(&view);
    if (!fits) PyErr_SetString(PyExc_TypeError, "expected indexes as a C-contiguous int64 array");
    return fits;
}

// select(indexes, out=None): the main array at every combination of the
// indexes given per axis (each an int64 array of indexes within the axis),
// into out (a C-contiguous float32 array of that shape) if given.
PyObject* layoutSelect(PyObject* o, PyObject* args) {
    PyObject *indexes, *out = Py_None;
    if (!PyArg_ParseTuple(args, "O!|O:select", &PyTuple_Type, &indexes, &out)) return nullptr;
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, st, res);
    if (!k) return nullptr;
    const Py_ssize_t axes = PyTuple_GET_SIZE(indexes);
    ixar::IndexSelection selection(static_cast<size_t>(axes));
    for (Py_ssize_t a = 0; a < axes; ++a)
        if (!axisIndexes(PyTuple_GET_ITEM(indexes, a), selection[static_cast<size_t>(a)])) return nullptr;
    ixar::Plan plan;
    ixar::ReadFailures none;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!callCore(st, none, [&] { plan = ixar::planSelection(*k->layout, selection); }, false) ||
        !arrays.fill(st, *res->file, plan, true, false, labels, out == Py_None ? nullptr : out))
        return nullptr;
    return newRef(arrays[0]);
}

// times(), labels(): what lies behind each record.
template <bool Labels>
PyObject* layoutBehind(PyObject* o, PyObject*) {
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, st, res);
    if (!k) return nullptr;
    ixar::Plan plan;
    ixar::ReadFailures none;
    if (!callCore(st, none, [&] { plan = Labels ? ixar::planLabels(*k->layout) : ixar::planTimes(*k->layout); }, false))
        return nullptr;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!arrays.fill(st, *res->file, plan, true, false, labels)) return nullptr;
    return Labels ? labelList(labels) : newRef(arrays[0]);
}

PyMethodDef kLayoutMethods[] = {
    {"info", guardedMethod<layoutInfo>, METH_NOARGS, "(family, shape, parameters, x, mapX, mapY, regions, points, records)."},
    {"read", guardedMethod<layoutRead<false>>, METH_NOARGS, "The result getIxarData gives."},
    {"read_reference", guardedMethod<layoutRead<true>>, METH_NOARGS,
     "read(), executed one record at a time by the reference executor (for tests)."},
    {"select", guardedMethod<layoutSelect>, METH_VARARGS, "select(indexes, out=None): the main array at the indexes of each axis."},
    {"times", guardedMethod<layoutBehind<false>>, METH_NOARGS, "The time value behind each record."},
    {"labels", guardedMethod<layoutBehind<true>>, METH_NOARGS, "The label behind each trace."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLayoutSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(layoutDealloc)},
    {Py_tp_methods, kLayoutMethods},
    {Py_tp_doc, const_cast<char*>("A data set of a Source, planned once.")},
    {0, nullptr},
};

PyType_Spec kLayoutSpec = {"ixarkit._core.Layout", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT, kLayoutSlots};

PyMethodDef kMethods[] = {
    {"close", guardedMethod<sourceClose>, METH_NOARGS, "Closes the source; reads in flight finish first."},
    {"contents", guardedMethod<sourceContents>, METH_NOARGS, "The data sets, as listContents names them."},
    {"layout", guardedMethod<sourceLayout>, METH_O, "layout(request): the data set a request names, planned."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"closed", sourceClosed, nullptr, "Whether the source is closed.", nullptr},
    {"size", sourceSize, nullptr, "Bytes in the source.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<sourceNew, PyTypeObject*, PyObject*, PyObject*>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sourceDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A file opened once for ixarkit.open.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"ixarkit._core.Source", sizeof(SourceObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int addSourceType(PyObject* module) {
    State* st = stateOf(module);
    if (!(st->layoutType = PyType_FromModuleAndSpec(module, &kLayoutSpec, nullptr))) return -1;
    st->sourceType = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
    if (!st->sourceType) return -1;
    Py_INCREF(st->sourceType);
    if (PyModule_AddObject(module, "Source", st->sourceType) < 0) {
        Py_DECREF(st->sourceType);
        return -1;
    }
    return 0;
}

}  // namespace ixbind
