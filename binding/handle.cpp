// ixarkit._core.Source and ixarkit._core.Layout: what Python calls, in
// stages. A Source is a file opened once (a descriptor, bytes in memory or
// a reader callable of a file object), its signature checked and its
// directory read. A Layout is one data set of it, planned in the stages
// ixarkit._reader drives: the prologue (parameters), ask (what needs the
// interpreter), plan (with its answers); then read, select, times and
// labels. Quiet sources (the handle API) raise a failed read at once; the
// others (the literal functions) report it on standard error and go on.
#include <algorithm>
#include <cstring>
#include <memory>

#include "binding.hpp"
#include "container/listing.hpp"
#include "exec/execute.hpp"
#include "plan/family.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"
#include "plan/staged.hpp"

namespace ixbind {

namespace {

// Bytes asked of a reader callable in one call.
constexpr size_t kObjectChunk = size_t{16} << 20;

// What a source holds open. The last reference goes with the interpreter
// lock held (close() or the end of a call), so closing never happens while
// a call without the lock still uses the bytes.
struct Resource {
    std::optional<ixar::File> file;
    PyObject* owner = nullptr;  // the object that keeps the bytes, or the reader callable
    int fd = -1;                // a duplicate of the descriptor given, or (borrowed) the descriptor itself
    Py_buffer view{};
    bool hasView = false;
    bool quiet = true;
    bool borrowed = false;
    std::vector<ixar::DirEntry> directory;

    ~Resource() {
        file.reset();
        if (hasView) PyBuffer_Release(&view);
        if (fd >= 0 && !borrowed) ixar::platform::close(fd);
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

struct SourceObject {
    PyObject_HEAD
    std::shared_ptr<Resource>* res;  // null once closed
};

State* stateOfType(PyTypeObject* type) {
    PyObject* module = PyType_GetModule(type);
    return module ? readyState(module) : nullptr;
}

// A descriptor (duplicated: the caller may close its own), bytes in memory
// (read in place, kept alive), or a reader callable of `size` bytes.
bool openSource(PyObject* source, long long size, Resource& r) {
    if (PyLong_Check(source)) {
        const long fd = PyLong_AsLong(source);
        if (fd == -1 && PyErr_Occurred()) return false;
        // The literal functions' sources (not quiet) are closed before the
        // file they read: where the core can use the interpreter's
        // descriptor, it is borrowed.
        r.borrowed = !r.quiet && ixar::platform::kSharedDescriptors;
        if ((r.fd = r.borrowed ? static_cast<int>(fd) : adoptDescriptor(fd)) < 0) return false;
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

// Source(source, size=-1, quiet=True): a file without the signature is
// refused (in our API's words where quiet, else in the literal
// functions'); one shorter than a signature is none where quiet. A source
// that is not quiet must be closed before the descriptor it was given.
PyObject* sourceNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"source", "size", "quiet", nullptr};
    PyObject* source;
    long long size = -1;
    int quiet = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Lp:Source", const_cast<char**>(kw), &source, &size, &quiet))
        return nullptr;
    State* st = stateOfType(type);
    if (!st) return nullptr;
    auto res = std::make_shared<Resource>();
    res->quiet = quiet;
    if (!openSource(source, size, *res)) return nullptr;

    std::optional<std::vector<ixar::DirEntry>> directory;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] { directory = ixar::openDirectory(*res->file, failures, quiet); }, !quiet))
        return nullptr;
    if (!directory) {
        setNotIxar(st, quiet);
        return nullptr;
    }
    if (!failures.empty()) {
        setCutDirectory(st, failures.front(), res->file->size());
        return nullptr;
    }
    res->directory = std::move(*directory);
    auto* self = reinterpret_cast<SourceObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->res = new std::shared_ptr<Resource>(std::move(res));
    return reinterpret_cast<PyObject*>(self);
}

void sourceDealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    delete reinterpret_cast<SourceObject*>(o)->res;
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
    return res ? listing(res->directory) : nullptr;
}

// ---------------------------------------------------------------- layouts

using Stage = ixar::StagedDataSet::Stage;

// A data set of a source, from its prologue on (see StagedDataSet); once
// planned, its layout is shared by reads without the interpreter.
struct Kept {
    Ref source;
    ixar::StagedDataSet staged;
};

struct LayoutObject {
    PyObject_HEAD
    Kept* kept;
};

// A stage of planning: a core call without the interpreter, its failed
// reads reported (quiet: the first raised).
template <class Fn>
bool stage(State* st, const Resource& res, ixar::ReadFailures& failures, Fn&& fn) {
    if (!callCore(st, failures, fn, !res.quiet)) return false;
    if (failures.empty()) return true;
    setPastEnd(st, failures.front(), res.file->size());
    return false;
}

// prologue(data, sample, derivative, is3D): (layout, parameters, notice) of
// the data set the codes select, or None where the file holds none.
PyObject* sourcePrologue(PyObject* o, PyObject* args) {
    int data, sample, derivative, is3D;
    if (!PyArg_ParseTuple(args, "iiip:prologue", &data, &sample, &derivative, &is3D)) return nullptr;
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    if (!st || !res) return nullptr;
    auto staged = ixar::StagedDataSet::select(res->directory, data, sample, derivative, is3D, ixar::machineMemory());
    if (!staged) Py_RETURN_NONE;
    auto kept = std::make_unique<Kept>(Kept{Ref(newRef(o)), std::move(*staged)});
    ixar::ReadFailures failures;
    const ixar::Prologue* p = nullptr;
    if (!stage(st, *res, failures, [&] { p = &kept->staged.prologue(*res->file, failures); })) return nullptr;
    Ref params(paramDict(p->params.list()));
    Ref notice(params ? (p->notice ? PyUnicode_FromString(p->notice) : newRef(Py_None)) : nullptr);
    auto* self = notice ? PyObject_New(LayoutObject, reinterpret_cast<PyTypeObject*>(st->layoutType)) : nullptr;
    if (!self) return nullptr;
    self->kept = kept.release();
    return Py_BuildValue("(NNN)", self, params.release(), notice.release());
}

void layoutDealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    delete reinterpret_cast<LayoutObject*>(o)->kept;
    PyObject_Free(o);
    Py_DECREF(type);
}

// The kept data set of a Layout whose source is open (res), taken for the
// stage `at` (a planned one: sound unless any); nullptr with an exception set.
Kept* keptOf(PyObject* o, Stage at, State*& st, std::shared_ptr<Resource>& res, bool any = true) {
    Kept* k = reinterpret_cast<LayoutObject*>(o)->kept;
    if (!(st = stateOfType(Py_TYPE(o))) || !(res = opened(k->source.get()))) return nullptr;
    if (!(at == Stage::Planned ? k->staged.planned() : k->staged.take(at))) {
        PyErr_SetString(PyExc_RuntimeError, "a layout's stages run once each, in order");
        return nullptr;
    }
    if (any || !k->staged.layout()->failure) return k;
    setError(st, *k->staged.layout()->failure);
    return nullptr;
}

PyObject* regionTuple(const ixar::RegionPlan& r) {
    return Py_BuildValue("(iOLNN)", r.group, r.loose ? Py_True : Py_False, static_cast<long long>(r.points),
                         valueObject(r.nx), valueObject(r.ny));
}

// ask(): what the interpreter answers before the plan: True where nothing
// is asked (the layout is planned at once); ("map",
// (AOX, AOY, DDX, DDY, NPX, NPY), replaced) of an image; or ("regions",
// pairs, texts) of a multi-region map: (value, row) of each group cell (of
// each distinct value with its first row, where all are integers), and the
// texts of its map coordinates.
PyObject* layoutAsk(PyObject* o, PyObject*) {
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, Stage::Ask, st, res);
    if (!k) return nullptr;
    ixar::ReadFailures failures;
    const ixar::Questions* q = nullptr;
    const bool ok = stage(st, *res, failures, [&] { q = &k->staged.ask(*res->file, failures, res->quiet); });
    k->staged.end();
    if (!ok) return nullptr;
    if (k->staged.planned()) Py_RETURN_TRUE;
    if (const auto& m = q->mapping)
        return Py_BuildValue("(s(NNNNNN)O)", "map", valueObject(m->aox), valueObject(m->aoy), valueObject(m->ddx),
                             valueObject(m->ddy), valueObject(m->npx), valueObject(m->npy),
                             q->replaced ? Py_True : Py_False);
    if (!q->tables) Py_RETURN_NONE;
    const ixar::RegionTables& t = *q->tables;
    const size_t n = t.allInt ? t.distinct.size() : t.group->cells.size();
    Ref pairs(PyList_New(static_cast<Py_ssize_t>(n))), texts(PyList_New(0));
    for (size_t i = 0; pairs && i < n; ++i) {
        PyObject* pair = Py_BuildValue(
            "(NL)", t.allInt ? PyLong_FromLong(t.distinct[i]) : valueObject(ixar::valueOf(t.annotations, t.group->cells[i])),
            static_cast<long long>(t.allInt ? t.firstRow[i] : static_cast<int64_t>(i)));
        if (!pair) return nullptr;
        PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
    }
    for (size_t i = 0; texts && i < k->staged.texts().size(); ++i) {
        const std::string& text = k->staged.text(i);
        Ref s(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        if (!s || PyList_Append(texts.get(), s.get()) < 0) return nullptr;
    }
    return pairs && texts ? Py_BuildValue("(sNN)", "regions", pairs.release(), texts.release()) : nullptr;
}

// Each item of a sequence (None: none) to fn; false with an exception set.
template <class Fn>
bool eachOf(PyObject* seq, Fn&& fn) {
    if (seq == Py_None) return true;
    Ref fast(PySequence_Fast(seq, "expected a sequence"));
    for (Py_ssize_t i = 0; fast && !PyErr_Occurred() && i < PySequence_Fast_GET_SIZE(fast.get()); ++i)
        fn(PySequence_Fast_GET_ITEM(fast.get(), i));
    return fast && !PyErr_Occurred();
}

// plan(order=None, coordinates=None): the layout, with the interpreter's
// answers: the first row of each group in the order a set of them
// iterates, and each text that ask() gave as a float (None: no number).
PyObject* layoutPlan(PyObject* o, PyObject* args) {
    PyObject *order = Py_None, *values = Py_None;
    if (!PyArg_ParseTuple(args, "|OO:plan", &order, &values)) return nullptr;
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, Stage::Plan, st, res);
    if (!k) return nullptr;
    std::vector<int64_t> groups;
    std::vector<ixar::TextCoordinate> coordinates;
    ixar::ReadFailures failures;
    const bool ok =
        eachOf(order, [&](PyObject* v) { groups.push_back(PyLong_AsLongLong(v)); }) &&
        eachOf(values, [&](PyObject* v) {
            coordinates.push_back(v == Py_None ? ixar::TextCoordinate() : ixar::TextCoordinate(PyFloat_AsDouble(v)));
        }) &&
        stage(st, *res, failures, [&] { k->staged.plan(*res->file, std::move(groups), coordinates, failures); });
    k->staged.end();
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// info(): (family, shape, regions, points, records): regions as
// (group, loose, points, nx, ny); the x, y of each point (multi-region maps;
// else None) and each record's offset, as the bytes of their doubles.
PyObject* layoutInfo(PyObject* o, PyObject*) {
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, Stage::Planned, st, res, false);
    if (!k) return nullptr;
    const ixar::Layout* l = k->staged.layout().get();
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
    return Py_BuildValue("(sNNNN)", l->family->name, shape.release(), regions.release(), points.release(),
                         records.release());
}

// Executes a plan of k's layout into the arrays it asks for (out: the
// caller's for the first).
bool fillPlan(State* st, const Resource& res, ixar::Plan& plan, PlanArrays& arrays, std::vector<std::string>& labels,
              bool reference = false, PyObject* out = nullptr) {
    return arrays.fill(st, *res.file, plan, res.quiet, reference, labels, out);
}

// read(reference=False): (family, arrays, labels, regions) of a whole read
// (its failure raised after the reads that come before it), regions as
// (region, spectra, mapX, mapY, start_time); reference: executed one record
// at a time by the reference executor.
PyObject* layoutRead(PyObject* o, PyObject* args) {
    int reference = 0;
    if (!PyArg_ParseTuple(args, "|p:read", &reference)) return nullptr;
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, Stage::Planned, st, res);
    ixar::Plan plan;
    ixar::ReadFailures none;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!k || !callCore(st, none, [&] { plan = ixar::planRead(*k->staged.layout()); }, false) ||
        !fillPlan(st, *res, plan, arrays, labels, reference))
        return nullptr;
    Ref list(PyList_New(0)), names(labelList(labels)), regions(PyList_New(0));
    for (size_t i = 0; list && i < plan.arrays.size(); ++i)
        if (PyList_Append(list.get(), arrays[i]) < 0) return nullptr;
    for (size_t i = 0; regions && i < plan.regions.size(); ++i) {
        const ixar::RegionPlan& r = plan.regions[i];
        Ref region(Py_BuildValue("(NOOOO)", regionTuple(r), arrays[r.spectra], arrays[r.mapX], arrays[r.mapY],
                                 r.startTime < 0 ? Py_None : arrays[static_cast<size_t>(r.startTime)]));
        if (!region || PyList_Append(regions.get(), region.get()) < 0) return nullptr;
    }
    if (!list || !names || !regions) return nullptr;
    return Py_BuildValue("(sNNN)", plan.family->name, list.release(), names.release(), regions.release());
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
    Kept* k = keptOf(o, Stage::Planned, st, res, false);
    if (!k) return nullptr;
    const Py_ssize_t axes = PyTuple_GET_SIZE(indexes);
    ixar::IndexSelection selection(static_cast<size_t>(axes));
    for (Py_ssize_t a = 0; a < axes; ++a)
        if (!axisIndexes(PyTuple_GET_ITEM(indexes, a), selection[static_cast<size_t>(a)])) return nullptr;
    ixar::Plan plan;
    ixar::ReadFailures none;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!callCore(st, none, [&] { plan = ixar::planSelection(*k->staged.layout(), selection); }, false) ||
        !fillPlan(st, *res, plan, arrays, labels, false, out == Py_None ? nullptr : out))
        return nullptr;
    return newRef(arrays[0]);
}

// times(), labels(): what lies behind each record.
template <bool Labels>
PyObject* layoutBehind(PyObject* o, PyObject*) {
    State* st;
    std::shared_ptr<Resource> res;
    Kept* k = keptOf(o, Stage::Planned, st, res, false);
    ixar::Plan plan;
    ixar::ReadFailures none;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!k || !callCore(st, none, [&] { plan = Labels ? ixar::planLabels(*k->staged.layout()) : ixar::planTimes(*k->staged.layout()); },
                        false) ||
        !fillPlan(st, *res, plan, arrays, labels))
        return nullptr;
    return Labels ? labelList(labels) : newRef(arrays[0]);
}

PyMethodDef kLayoutMethods[] = {
    {"ask", guardedMethod<layoutAsk>, METH_NOARGS, "What the interpreter answers before the plan, or None."},
    {"plan", guardedMethod<layoutPlan>, METH_VARARGS, "plan(order=None, coordinates=None): the layout, planned."},
    {"info", guardedMethod<layoutInfo>, METH_NOARGS, "(family, shape, regions, points, records)."},
    {"read", guardedMethod<layoutRead>, METH_VARARGS, "read(reference=False): (family, arrays, labels, regions)."},
    {"select", guardedMethod<layoutSelect>, METH_VARARGS, "select(indexes, out=None): the main array at the indexes of each axis."},
    {"times", guardedMethod<layoutBehind<false>>, METH_NOARGS, "The time value behind each record."},
    {"labels", guardedMethod<layoutBehind<true>>, METH_NOARGS, "The label behind each trace."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLayoutSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(layoutDealloc)},
    {Py_tp_methods, kLayoutMethods},
    {Py_tp_doc, const_cast<char*>("A data set of a Source, planned in stages.")},
    {0, nullptr},
};

PyType_Spec kLayoutSpec = {"ixarkit._core.Layout", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT, kLayoutSlots};

PyMethodDef kMethods[] = {
    {"close", guardedMethod<sourceClose>, METH_NOARGS, "Closes the source; reads in flight finish first."},
    {"contents", guardedMethod<sourceContents>, METH_NOARGS, "The data sets, as listContents names them."},
    {"prologue", guardedMethod<sourcePrologue>, METH_VARARGS,
     "prologue(data, sample, derivative, is3D): (layout, parameters, notice), or None."},
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
    {Py_tp_doc, const_cast<char*>("A file opened once: Source(descriptor, bytes or reader, size=-1, quiet=True).")},
    {0, nullptr},
};

PyType_Spec kSpec = {"ixarkit._core.Source", sizeof(SourceObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

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
