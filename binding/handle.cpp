// ixarkit._core.Source: a file opened once for the handle API (ixarkit.open),
// from a path, a binary file object or bytes in memory, with the reads the
// Python side builds data blocks and selections from. Failed reads are not
// reported on standard error here: a damaged directory is an error at once.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include <cstring>
#include <memory>

#include "container/listing.hpp"
#include "dataset.hpp"
#include "exec/execute.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"

namespace ixbind {

namespace {

// Bytes a file object is asked for in one call: each call reads into a
// fresh buffer of the interpreter's, which the reader then copies from.
constexpr size_t kObjectChunk = size_t{16} << 20;

// A data set's layout: the core's, and what the caller sees of it.
struct CachedLayout {
    std::shared_ptr<const ixar::Layout> core;
    Ref info;  // an ixarkit._core.Layout
};

// What a source holds open. The last reference goes with the interpreter
// lock held (close() or the end of a read), so closing never happens while
// a read without the lock still uses the bytes.
struct Resource {
    std::optional<ixar::File> file;
    PyObject* owner = nullptr;  // FileIO to close, or the object that keeps the bytes or the file object
    bool closeOwner = false;
    int fd = -1;                // a duplicate of a file object's descriptor
    Py_buffer view{};
    bool hasView = false;
    std::vector<ixar::DirEntry> directory;
    std::unordered_map<std::string, CachedLayout> layouts;  // by request; used with the interpreter held
    // A file object is read by one thread at a time: seek, then read. The
    // claim is taken and given back with the interpreter held, and no lock
    // is held across the object's methods or across fork(): a claim made in
    // another process (the parent of a fork) is void here.
    bool busy = false;
    unsigned long busyThread = 0;
    pid_t busyPid = 0;

    const CachedLayout* layoutFor(State* st, PyObject* request);

    // The blocks a request names, with the messages of getIxarData; strings
    // keep the request's words, which req borrows.
    bool select(State* st, PyObject* request, Ref strings[3], ixar::Selection& sel, DataSetRequest& req) const {
        bool is3D = false;
        return validateRequest(st, request, strings, is3D) &&
               selectRequest(st, directory, strings, is3D, true, sel, req);
    }

    ~Resource() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        layouts.clear();
        file.reset();
        if (hasView) PyBuffer_Release(&view);
        if (fd >= 0) ::close(fd);
        if (closeOwner && owner) Py_XDECREF(PyObject_CallMethod(owner, "close", nullptr));
        PyErr_Clear();
        Py_XDECREF(owner);
        PyErr_Restore(type, value, tb);
    }

    // Called by the core, without the interpreter. Exceptions of the file
    // object reach the caller unchanged (as a PythonError).
    size_t readObject(int64_t offset, void* dst, size_t n) {
        const PyGILState_STATE g = PyGILState_Ensure();
        size_t done = 0;
        const bool claimed = claim();
        const bool ok = claimed && readClaimed(offset, static_cast<unsigned char*>(dst), n, done);
        if (claimed) busy = false;
        std::optional<PythonError> error;
        if (!ok) error.emplace();
        PyGILState_Release(g);
        if (error) throw *error;
        return done;
    }

    // Waits, without the interpreter, for a read on another thread to end.
    bool claim() {
        const unsigned long me = PyThread_get_thread_ident();
        for (unsigned wait = 1; busy && busyPid == ::getpid(); wait = std::min(2 * wait, 1000u)) {
            if (busyThread == me) {
                PyErr_SetString(PyExc_RuntimeError,
                                "the IXAR file is read again from within its own file object's read; a file "
                                "object cannot serve a read that it is itself part of");
                return false;
            }
            Py_BEGIN_ALLOW_THREADS
            ::usleep(wait);
            Py_END_ALLOW_THREADS
        }
        busy = true;
        busyThread = me;
        busyPid = ::getpid();
        return true;
    }

    // With the interpreter and the claim: seek, then read up to n bytes in
    // chunks until the object gives none. False with an exception set.
    bool readClaimed(int64_t offset, unsigned char* dst, size_t n, size_t& done) {
        Ref pos(PyObject_CallMethod(owner, "seek", "L", static_cast<long long>(offset)));
        if (!pos) return false;
        const bool readinto = PyObject_HasAttrString(owner, "readinto");
        while (done < n) {
            const size_t want = std::min(n - done, kObjectChunk);
            size_t got = 0;
            if (!(readinto ? readInto(want, dst + done, got) : readBytes(want, dst + done, got))) return false;
            if (!got) break;
            done += got;
        }
        const int64_t size = file->size();
        if (done < n && offset < size && static_cast<int64_t>(done) < size - offset) {
            PyErr_Format(PyExc_OSError,
                         "the file object reported %lld bytes, but a read of %zu bytes at offset %lld gave %zu",
                         static_cast<long long>(size), n, static_cast<long long>(offset), done);
            return false;
        }
        return true;
    }

    // readinto(buffer) with a buffer of the interpreter's own: whatever the
    // object keeps of it, it never reaches the reader's memory.
    bool readInto(size_t want, unsigned char* dst, size_t& got) {
        Ref buffer(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want)));
        Ref r(buffer ? PyObject_CallMethod(owner, "readinto", "O", buffer.get()) : nullptr);
        if (!r) return false;
        if (r.get() == Py_None) return noData("readinto");
        const Py_ssize_t k = PyNumber_Check(r.get()) ? PyNumber_AsSsize_t(r.get(), nullptr) : -1;
        if (k == -1 && PyErr_Occurred()) return false;
        const Py_ssize_t len = PyByteArray_GET_SIZE(buffer.get());
        if (k < 0 || k > static_cast<Py_ssize_t>(want) || k > len) return badCount("readinto", r.get(), want);
        got = static_cast<size_t>(k);
        if (got) std::memcpy(dst, PyByteArray_AS_STRING(buffer.get()), got);
        return true;
    }

    bool readBytes(size_t want, unsigned char* dst, size_t& got) {
        Ref r(PyObject_CallMethod(owner, "read", "n", static_cast<Py_ssize_t>(want)));
        if (!r) return false;
        if (r.get() == Py_None) return noData("read");
        Py_buffer view;
        if (PyObject_GetBuffer(r.get(), &view, PyBUF_SIMPLE) < 0) return false;
        const bool fits = view.len >= 0 && static_cast<size_t>(view.len) <= want;
        if (fits) {
            got = static_cast<size_t>(view.len);
            if (got) std::memcpy(dst, view.buf, got);
        }
        PyBuffer_Release(&view);
        if (!fits) {
            Ref length(PyLong_FromSsize_t(view.len));
            return badCount("read", length.get(), want);
        }
        return true;
    }

    static bool noData(const char* method) {
        PyErr_Format(PyExc_BlockingIOError,
                     "the file object's %s() returned None: it has no data available now (a non-blocking "
                     "stream?), and an IXAR file must be readable at any offset",
                     method);
        return false;
    }

    static bool badCount(const char* method, PyObject* count, size_t want) {
        if (count) PyErr_Format(PyExc_OSError, "the file object's %s() gave %R bytes when asked for %zu", method, count, want);
        return false;
    }
};

}  // namespace

// ---------------------------------------------------------------- layouts

using ixar::Family;

namespace {

PyObject* int64Array(State* st, const std::vector<int64_t>& values) {
    Ref n(PyLong_FromSsize_t(static_cast<Py_ssize_t>(values.size())));
    PyObject* args[] = {n.get(), st->int64};
    Ref arr(n ? PyObject_Vectorcall(st->empty, args, 2, nullptr) : nullptr);
    Py_buffer view;
    if (!arr || PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    if (!values.empty()) std::memcpy(view.buf, values.data(), values.size() * sizeof(int64_t));
    PyBuffer_Release(&view);
    return arr.release();
}

// x or y of every point of a multi-region map: numbers as they are, texts
// converted as the array library converts a text stored into a float array.
PyObject* pointAxis(State* st, const ixar::Layout& l, bool y) {
    const auto points = static_cast<Py_ssize_t>(l.pointXY.size() / 2);
    Ref n(PyLong_FromSsize_t(points));
    PyObject* args[] = {n.get()};
    Ref arr(n ? PyObject_Vectorcall(st->zeros, args, 1, nullptr) : nullptr);
    Py_buffer view;
    if (!arr || PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    auto* out = static_cast<double*>(view.buf);
    for (Py_ssize_t i = 0; i < points; ++i) {
        const double v = l.pointXY[static_cast<size_t>(2 * i + y)];
        if (!ixar::isTextCoordinate(v)) out[i] = v;
    }
    PyBuffer_Release(&view);
    for (const ixar::Layout::Text& t : l.texts) {
        if (t.y != y) continue;
        Ref v(PyUnicode_DecodeASCII(t.text.data(), static_cast<Py_ssize_t>(t.text.size()), "strict"));
        Ref index(PyLong_FromLongLong(t.point));
        if (!v || !index || PyObject_SetItem(arr.get(), index.get(), v.get()) < 0) return nullptr;
    }
    return arr.release();
}

// Whether a text converts as the array library converts a text stored into
// a float array; false with its exception set.
bool textToFloat(State* st, const std::string& text) {
    Ref one(PyLong_FromLong(1)), zero(PyLong_FromLong(0));
    PyObject* args[] = {one.get()};
    Ref arr(one ? PyObject_Vectorcall(st->zeros, args, 1, nullptr) : nullptr);
    Ref v(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    return arr && v && zero && PyObject_SetItem(arr.get(), zero.get(), v.get()) == 0;
}

PyStructSequence_Field kLayoutFields[] = {
    {"family", "the family's name"},
    {"shape", "the shape of the main array"},
    {"parameters", "the parameters, as getIxarData gives them"},
    {"x", "the x axis"},
    {"mapX", "image maps: x of each column of the map; else None"},
    {"mapY", "image maps: y of each row of the map; else None"},
    {"regions", "multi-region maps: (group, points, title) of each region"},
    {"pointX", "multi-region maps: x of each point; else None"},
    {"pointY", "multi-region maps: y of each point; else None"},
    {"records", "the file offset of each record, in the order of the main array (-1: an empty cell)"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kLayoutDesc = {"ixarkit._core.Layout", "The layout of a data set, as the handle reads it.",
                                     kLayoutFields, 10};

}  // namespace

// The layout of the data set a request names: planned on the first request
// and kept with the source. With the interpreter held.
const CachedLayout* Resource::layoutFor(State* st, PyObject* request) {
    Ref strings[3];
    ixar::Selection sel;
    DataSetRequest req;
    if (!select(st, request, strings, sel, req)) return nullptr;
    std::string key;
    for (const Ref& s : strings) key += std::string(PyUnicode_AsUTF8(s.get())) + " ";
    if (auto it = layouts.find(key); it != layouts.end()) return &it->second;

    Planned planned;
    if (!planDataSet(st, *file, sel, req, planned)) return nullptr;
    if (planned.plan.failure) {  // coordinates held as text fail first, where the whole read converts them
        for (const ixar::TextCoordinate& t : planned.plan.textCoordinates)
            if (!textToFloat(st, t.text)) return nullptr;
        setError(st, *planned.plan.failure);
        return nullptr;
    }
    std::shared_ptr<ixar::Layout> l;
    ixar::ReadFailures none;
    if (!callCore(st, none, [&] { l = std::make_shared<ixar::Layout>(ixar::layoutOf(planned.plan)); }, false))
        return nullptr;
    Ref pointX(newRef(Py_None)), pointY(newRef(Py_None));
    if ((l->family == ixar::Family::MultiRegion || l->family == ixar::Family::MultiRegionTraces) &&
        (!(pointX = Ref(pointAxis(st, *l, false))) || !(pointY = Ref(pointAxis(st, *l, true)))))
        return nullptr;
    Ref regionList(PyList_New(0));
    for (size_t i = 0; regionList && i < l->regions.size(); ++i) {
        const ixar::RegionPlan& r = l->regions[i];
        Ref one(Py_BuildValue("(iLN)", r.group, static_cast<long long>(r.points), regionTitle(r)));
        if (!one || PyList_Append(regionList.get(), one.get()) < 0) return nullptr;
    }
    Ref shape(PyTuple_New(static_cast<Py_ssize_t>(l->shape.size())));
    for (size_t i = 0; shape && i < l->shape.size(); ++i)
        PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), PyLong_FromLongLong(l->shape[i]));
    Ref records(int64Array(st, l->records));
    Ref info(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(st->layoutType)));
    if (!regionList || !shape || PyErr_Occurred() || !records || !info) return nullptr;
    PyObject* items[] = {PyUnicode_FromString(ixar::familyName(l->family)), shape.release(),
                         newRef(planned.params.get()), newRef(planned.x.get()),
                         newRef(planned.mapX ? planned.mapX.get() : Py_None),
                         newRef(planned.mapY ? planned.mapY.get() : Py_None), regionList.release(),
                         pointX.release(), pointY.release(), records.release()};
    for (Py_ssize_t i = 0; i < 10; ++i) PyStructSequence_SET_ITEM(info.get(), i, items[i]);
    if (!items[0]) return nullptr;
    return &layouts.emplace(key, CachedLayout{std::move(l), std::move(info)}).first->second;
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
bool openSource(State* st, PyObject* source, Resource& r) {
    if (PyUnicode_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        Ref mode(PyUnicode_FromString("rb"));
        PyObject* args[] = {source, mode.get()};
        r.owner = mode ? PyObject_Vectorcall(st->fileIO, args, 2, nullptr) : nullptr;
        if (!r.owner) return false;
        r.closeOwner = true;
        Ref fd(PyObject_CallMethod(r.owner, "fileno", nullptr));
        if (!fd) return false;
        r.file.emplace(static_cast<int>(PyLong_AsLong(fd.get())));
        return true;
    }
    if (PyObject_CheckBuffer(source)) {
        if (PyObject_GetBuffer(source, &r.view, PyBUF_SIMPLE) < 0) return false;
        r.hasView = true;
        Py_INCREF(source);
        r.owner = source;
        r.file.emplace(r.view.buf, static_cast<size_t>(r.view.len));
        return true;
    }
    if (!PyObject_HasAttrString(source, "read") || !PyObject_HasAttrString(source, "seek")) {
        PyErr_Format(PyExc_TypeError, "expected a path, a binary file object or bytes, not %.200s",
                     Py_TYPE(source)->tp_name);
        return false;
    }
    Py_INCREF(source);
    r.owner = source;
    // A file object on a regular file is read by descriptor, with positioned
    // reads on a duplicate of it: the object's own position does not move.
    Ref fd(PyObject_CallMethod(source, "fileno", nullptr));
    struct stat info;
    if (fd && PyLong_Check(fd.get())) {
        const int n = static_cast<int>(PyLong_AsLong(fd.get()));
        if (n >= 0 && ::fstat(n, &info) == 0 && S_ISREG(info.st_mode) && (r.fd = ::dup(n)) >= 0) {
            r.file.emplace(r.fd);
            return true;
        }
    }
    PyErr_Clear();
    // The size the object reports, checked where it ends: its last byte must be there.
    Ref end(PyObject_CallMethod(source, "seek", "ii", 0, 2));
    if (end && end.get() == Py_None) end = Ref(PyObject_CallMethod(source, "tell", nullptr));
    if (!end) return false;
    const long long size = PyLong_AsLongLong(end.get());
    if (size == -1 && PyErr_Occurred()) return false;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "the file object reports a negative size");
        return false;
    }
    Resource* self = &r;
    r.file.emplace([self](int64_t offset, void* dst, size_t n) { return self->readObject(offset, dst, n); }, size);
    unsigned char last;
    size_t got = 0;
    return size == 0 || r.readClaimed(size - 1, &last, 1, got);
}

PyObject* sourceNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"source", nullptr};
    PyObject* source;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Source", const_cast<char**>(kw), &source)) return nullptr;
    State* st = stateOfType(type);
    if (!st) return nullptr;
    auto res = std::make_shared<Resource>();
    if (!openSource(st, source, *res)) return nullptr;

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
        setNotIxar(true);
        return nullptr;
    }
    if (!callCore(st, failures, [&] { res->directory = ixar::readDirectory(*res->file, failures); }, false))
        return nullptr;
    if (!failures.empty()) {
        setCutDirectory(failures.front(), res->file->size());
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
    const std::vector<ixar::ListingEntry> listing = ixar::listContents(res->directory);
    Ref out(PyList_New(static_cast<Py_ssize_t>(listing.size())));
    for (size_t i = 0; out && i < listing.size(); ++i) {
        const ixar::ListingEntry& e = listing[i];
        PyObject* t = Py_BuildValue("(sss)", e.dataType, e.is3D ? "3D" : "2D", ixar::derivativeName(e.derivType));
        if (!t) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), t);
    }
    return out.release();
}

// read(request), read_reference(request): the data set a request names,
// read as getIxarData reads it, or by the reference executor.
template <bool Reference>
PyObject* sourceRead(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    Ref strings[3];
    ixar::Selection sel;
    DataSetRequest req;
    if (!st || !res || !res->select(st, request, strings, sel, req)) return nullptr;
    req.reference = Reference;
    return readDataSet(st, *res->file, sel, req);
}

PyObject* sourceLayout(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    const CachedLayout* l = st && res ? res->layoutFor(st, request) : nullptr;
    return l ? newRef(l->info.get()) : nullptr;
}

// Indexes of one axis: a slice, or integers (an int64 array is taken as it is).
bool axisIndexes(PyObject* o, Py_ssize_t length, std::vector<int64_t>& out) {
    if (PySlice_Check(o)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(o, &start, &stop, &step) < 0) return false;
        const Py_ssize_t n = PySlice_AdjustIndices(length, &start, &stop, step);
        for (Py_ssize_t i = 0; i < n; ++i) out.push_back(start + i * step);
        return true;
    }
    Py_buffer view;
    if (PyObject_CheckBuffer(o) && PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
        const bool fits = view.itemsize == 8 && view.format && (view.format[0] == 'q' || view.format[0] == 'l') &&
                          !view.format[1];
        if (fits) {
            out.resize(static_cast<size_t>(view.len / 8));
            if (view.len) std::memcpy(out.data(), view.buf, static_cast<size_t>(view.len));
        }
        PyBuffer_Release(&view);
        if (fits) return true;
    }
    PyErr_Clear();
    Ref seq(PySequence_Fast(o, "expected a slice or a sequence of indexes"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        out.push_back(PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i)));
        if (out.back() == -1 && PyErr_Occurred()) return false;
    }
    return true;
}

// Executes a plan of the handle API (no reports: a read cut by the end of
// the file is an error) into arrays it allocates; false with an exception set.
bool executeQuiet(State* st, const Resource& res, const ixar::Plan& plan, PlanArrays& arrays,
                  std::vector<std::string>& labels) {
    arrays.share(st, plan);
    for (const ixar::ArraySpec& a : plan.arrays)
        if (!arrays.make(st, a)) return false;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] { ixar::execute(*res.file, plan, arrays.spans, labels, failures); }, false))
        return false;
    if (failures.empty()) return true;
    setPastEnd(failures.front(), res.file->size());
    return false;
}

// select(request, indexes): the main array at every combination of the
// indexes given per axis (each a slice or integers within the axis).
PyObject* sourceSelect(PyObject* o, PyObject* args) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    PyObject *request, *indexes;
    if (!st || !res || !PyArg_ParseTuple(args, "OO!:select", &request, &PyTuple_Type, &indexes)) return nullptr;
    const CachedLayout* l = res->layoutFor(st, request);
    if (!l) return nullptr;
    const auto& shape = l->core->shape;
    if (PyTuple_GET_SIZE(indexes) != static_cast<Py_ssize_t>(shape.size()))
        return PyErr_Format(PyExc_IndexError, "a selection of %zd axes of an array of %zu", PyTuple_GET_SIZE(indexes),
                            shape.size());
    ixar::IndexSelection selection(shape.size());
    for (size_t a = 0; a < shape.size(); ++a) {
        if (!axisIndexes(PyTuple_GET_ITEM(indexes, static_cast<Py_ssize_t>(a)), static_cast<Py_ssize_t>(shape[a]),
                         selection[a]))
            return nullptr;
        for (int64_t i : selection[a])
            if (i < 0 || i >= shape[a])
                return PyErr_Format(PyExc_IndexError, "index %lld is out of bounds for axis %zu with size %lld",
                                    static_cast<long long>(i), a, static_cast<long long>(shape[a]));
    }
    ixar::Plan plan;
    ixar::ReadFailures none;
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!callCore(st, none, [&] { plan = ixar::planSelection(*l->core, selection); }, false) ||
        !executeQuiet(st, *res, plan, arrays, labels))
        return nullptr;
    return newRef(arrays[0]);
}

// times(request), labels(request): what lies behind each record.
template <bool Labels>
PyObject* sourceBehind(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    const CachedLayout* l = st && res ? res->layoutFor(st, request) : nullptr;
    if (!l) return nullptr;
    const ixar::Plan plan = Labels ? ixar::planLabels(*l->core) : ixar::planTimes(*l->core);
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!executeQuiet(st, *res, plan, arrays, labels)) return nullptr;
    return Labels ? labelList(labels) : newRef(arrays[0]);
}

PyMethodDef kMethods[] = {
    {"close", sourceClose, METH_NOARGS, "Closes the source; reads in flight finish first."},
    {"contents", sourceContents, METH_NOARGS, "The data sets, as listContents names them."},
    {"read", sourceRead<false>, METH_O, "The result getIxarData gives for a request."},
    {"read_reference", sourceRead<true>, METH_O,
     "read(), executed one record at a time by the reference executor (for tests)."},
    {"layout", sourceLayout, METH_O, "The Layout of a data set (kept with the source)."},
    {"select", sourceSelect, METH_VARARGS, "select(request, indexes): the main array at the indexes of each axis."},
    {"times", sourceBehind<false>, METH_O, "The time value behind each record."},
    {"labels", sourceBehind<true>, METH_O, "The label behind each trace."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"closed", sourceClosed, nullptr, "Whether the source is closed.", nullptr},
    {"size", sourceSize, nullptr, "Bytes in the source.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sourceNew)},
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
    st->layoutType = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kLayoutDesc));
    if (!st->layoutType || PyModule_AddObject(module, "Layout", newRef(st->layoutType)) < 0) return -1;
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
