// ixarkit._core.Source: a file opened once for the handle API (ixarkit.open),
// from a descriptor, bytes in memory or a reader callable (ixarkit._sources
// makes these of paths and file objects), with the reads the Python side
// builds data blocks and selections from. Failed reads are not
// reported on standard error here: a damaged directory is an error at once.
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

// A data set's layout, with its parameters and axes, and the tuple the
// caller sees of it.
struct CachedLayout {
    // The parameters and axes a result takes: the first read takes these
    // while nothing else holds them (taken is set before anything does),
    // later reads copies of them, planned again once.
    std::shared_ptr<const ixar::Layout> layout;  // set once: reads use it without the interpreter
    Planned planned;
    mutable bool taken = false;
    mutable Ref info;  // made when first asked for
    const ixar::Layout& core() const noexcept { return *layout; }
};

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
    std::unordered_map<std::string, CachedLayout> layouts;  // by the request's codes; used with the interpreter held

    // The layout of the data set a request names (req as checkRequest
    // gives it), planned once and kept, failing or not.
    CachedLayout* layoutFor(State* st, PyObject* request, DataSetRequest& req);
    // The same, or nullptr with its failure raised for a data set that fails.
    const CachedLayout* soundLayout(State* st, PyObject* request);

    ~Resource() {
        layouts.clear();
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

// ---------------------------------------------------------------- layouts

// The layout of the data set a request names: planned on the first request
// and kept with the source. With the interpreter held.
CachedLayout* Resource::layoutFor(State* st, PyObject* request, DataSetRequest& req) {
    ixar::Selection sel;
    if (!checkRequest(st, request, true, req) || !selectRequest(st, directory, req, sel)) return nullptr;
    const ixar::Request& r = req.codes;
    const auto key = std::to_string(r.data) + " " + std::to_string(r.sample) + " " + std::to_string(r.extend) + " " +
                     std::to_string(r.derivative);
    if (auto it = layouts.find(key); it != layouts.end() && it->second.planned.params) return &it->second;
    // Planned for the first time, or again once a read took the parameters
    // and axes. Planning lets other threads run: one may have kept the data
    // set meanwhile, whose layout then stays the one that reads use.
    Planned fresh;
    std::shared_ptr<const ixar::Layout> layout;
    if (!planDataSet(st, *file, sel, req, fresh, &layout, nullptr)) return nullptr;
    CachedLayout& c = layouts.try_emplace(key, CachedLayout{std::move(layout)}).first->second;
    if (!c.planned.params) c.planned = std::move(fresh);
    return &c;
}

// What ixarkit._families.layout makes the Layout of a sound layout of, made
// when first asked for (reads need none of it).
static PyObject* layoutInfo(const CachedLayout& c) {
    if (c.info) return newRef(c.info.get());
    // The tuple holds the kept objects: no read may take them, not even
    // while the calls below let other threads run. (layoutFor returned them
    // to the caller with nothing run in between.)
    c.taken = true;
    const Planned& p = c.planned;
    Ref params(newRef(p.params.get())), x(newRef(p.x.get()));
    Ref mapX(newRef(p.mapX ? p.mapX.get() : Py_None)), mapY(newRef(p.mapY ? p.mapY.get() : Py_None));
    const ixar::Layout* l = c.layout.get();
    // Points: the x, y of each.
    Ref points(l->family->points ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(l->pointXY.data()),
                                                             static_cast<Py_ssize_t>(8 * l->pointXY.size()))
                                 : newRef(Py_None));
    Ref regions(PyList_New(0));
    for (size_t i = 0; regions && i < l->regions.size(); ++i) {
        Ref one(regionTuple(l->regions[i]));
        if (!one || PyList_Append(regions.get(), one.get()) < 0) return nullptr;
    }
    Ref shape(PyTuple_New(static_cast<Py_ssize_t>(l->shape.size())));
    for (size_t i = 0; shape && i < l->shape.size(); ++i)
        PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), PyLong_FromLongLong(l->shape[i]));
    Ref records(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(l->records.data()),
                                          static_cast<Py_ssize_t>(8 * l->records.size())));
    if (!points || !regions || !shape || PyErr_Occurred() || !records) return nullptr;
    // ixarkit._families.layout takes these, in this order.
    c.info = Ref(Py_BuildValue("(sNNNNNNNN)", l->family->name, shape.release(), params.release(), x.release(),
                               mapX.release(), mapY.release(), regions.release(), points.release(),
                               records.release()));
    return c.info ? newRef(c.info.get()) : nullptr;
}

const CachedLayout* Resource::soundLayout(State* st, PyObject* request) {
    DataSetRequest req;
    const CachedLayout* c = layoutFor(st, request, req);
    if (!c || !c->core().failure) return c;
    setError(st, *c->core().failure);
    return nullptr;
}

namespace {

struct SourceObject {
    PyObject_HEAD
    std::shared_ptr<Resource>* res;  // null once closed
};

State* stateOfType(PyTypeObject* type) {
    PyObject* module = PyType_GetModule(type);
    return module ? stateOf(module) : nullptr;
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

// read(request), read_reference(request): the data set a request names,
// read as getIxarData reads it, or by the reference executor.
template <bool Reference>
PyObject* sourceRead(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    DataSetRequest req;
    CachedLayout* c = st && res ? res->layoutFor(st, request, req) : nullptr;
    if (!c) return nullptr;
    req.reference = Reference;
    // The result takes the kept parameters and axes where nothing else has
    // them yet, else copies of them.
    Planned& kept = c->planned;
    auto copy = [](const Ref& a) { return a ? Ref(PyObject_CallMethod(a.get(), "copy", nullptr)) : Ref(); };
    const bool take = !std::exchange(c->taken, true);
    const Planned fresh = take ? std::move(kept)
                               : Planned{copy(kept.params), copy(kept.x), copy(kept.mapX), copy(kept.mapY)};
    ixar::Plan plan;
    ixar::ReadFailures none;
    if (PyErr_Occurred() || !callCore(st, none, [&] { plan = ixar::planRead(c->core()); }, false)) return nullptr;
    return readPlan(st, *res->file, fresh, std::move(plan), req);
}

PyObject* sourceLayout(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    const CachedLayout* l = st && res ? res->soundLayout(st, request) : nullptr;
    return l ? layoutInfo(*l) : nullptr;
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

// select(request, indexes): the main array at every combination of the
// indexes given per axis (each an int64 array of indexes within the axis).
PyObject* sourceSelect(PyObject* o, PyObject* args) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    PyObject *request, *indexes;
    if (!st || !res || !PyArg_ParseTuple(args, "OO!:select", &request, &PyTuple_Type, &indexes)) return nullptr;
    const CachedLayout* l = res->soundLayout(st, request);
    if (!l) return nullptr;
    const Py_ssize_t axes = PyTuple_GET_SIZE(indexes);
    ixar::IndexSelection selection(static_cast<size_t>(axes));
    for (Py_ssize_t a = 0; a < axes; ++a)
        if (!axisIndexes(PyTuple_GET_ITEM(indexes, a), selection[static_cast<size_t>(a)])) return nullptr;
    ixar::Plan plan;
    ixar::ReadFailures none;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!callCore(st, none, [&] { plan = ixar::planSelection(l->core(), selection); }, false) ||
        !arrays.fill(st, *res->file, plan, true, false, labels))
        return nullptr;
    return newRef(arrays[0]);
}

// times(request), labels(request): what lies behind each record.
template <bool Labels>
PyObject* sourceBehind(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    const CachedLayout* l = st && res ? res->soundLayout(st, request) : nullptr;
    if (!l) return nullptr;
    ixar::Plan plan;
    ixar::ReadFailures none;
    if (!callCore(st, none, [&] { plan = Labels ? ixar::planLabels(l->core()) : ixar::planTimes(l->core()); }, false))
        return nullptr;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!arrays.fill(st, *res->file, plan, true, false, labels)) return nullptr;
    return Labels ? labelList(labels) : newRef(arrays[0]);
}

PyMethodDef kMethods[] = {
    {"close", guardedMethod<sourceClose>, METH_NOARGS, "Closes the source; reads in flight finish first."},
    {"contents", guardedMethod<sourceContents>, METH_NOARGS, "The data sets, as listContents names them."},
    {"read", guardedMethod<sourceRead<false>>, METH_O, "The result getIxarData gives for a request."},
    {"read_reference", guardedMethod<sourceRead<true>>, METH_O,
     "read(), executed one record at a time by the reference executor (for tests)."},
    {"layout", guardedMethod<sourceLayout>, METH_O, "The Layout of a data set (kept with the source)."},
    {"select", guardedMethod<sourceSelect>, METH_VARARGS, "select(request, indexes): the main array at the indexes of each axis."},
    {"times", guardedMethod<sourceBehind<false>>, METH_O, "The time value behind each record."},
    {"labels", guardedMethod<sourceBehind<true>>, METH_O, "The label behind each trace."},
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
