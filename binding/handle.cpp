// ixarkit._core.Source: a file opened once for the handle API (ixarkit.open),
// from a path, a binary file object or bytes in memory, with the reads the
// Python side builds data blocks and selections from. Failed reads are not
// reported on standard error here: a damaged directory is an error at once.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstring>
#include <memory>

#include "container/listing.hpp"
#include "dataset.hpp"
#include "exec/execute.hpp"
#include "plan/plan.hpp"

namespace ixbind {

namespace {

// Bytes a file object is asked for in one call: each call reads into a
// fresh buffer of the interpreter's, which the reader then copies from.
constexpr size_t kObjectChunk = size_t{16} << 20;

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
    // A file object is read by one thread at a time: seek, then read. The
    // claim is taken and given back with the interpreter held, and no lock
    // is held across the object's methods or across fork(): a claim made in
    // another process (the parent of a fork) is void here.
    bool busy = false;
    unsigned long busyThread = 0;
    pid_t busyPid = 0;

    ~Resource() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
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

static PyObject* int64Array(State* st, const std::vector<int64_t>& values) {
    Ref n(PyLong_FromSsize_t(static_cast<Py_ssize_t>(values.size())));
    PyObject* args[] = {n.get(), st->int64};
    Ref arr(n ? PyObject_Vectorcall(st->empty, args, 2, nullptr) : nullptr);
    if (!arr) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    if (!values.empty()) std::memcpy(view.buf, values.data(), values.size() * sizeof(int64_t));
    PyBuffer_Release(&view);
    return arr.release();
}

PyObject* layoutOf(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req) {
    Planned planned;
    if (!planDataSet(st, file, sel, req, planned)) return nullptr;
    const ixar::Plan& plan = planned.plan;
    const Family family = plan.family;

    // Multi-region coordinates, one per point in the order of the regions.
    std::vector<int64_t> base(plan.arrays.size(), -1);  // array -> first point of its region
    int64_t points = 0;
    for (const ixar::RegionPlan& r : plan.regions) {
        base[r.mapX] = base[r.mapY] = points;
        points += r.points;
    }
    Ref pointX, pointY;
    if (!plan.regions.empty() || family == Family::MultiRegion || family == Family::MultiRegionTraces) {
        Ref n(PyLong_FromLongLong(points));
        PyObject* args[] = {n.get()};
        pointX = Ref(n ? PyObject_Vectorcall(st->zeros, args, 1, nullptr) : nullptr);
        pointY = Ref(n ? PyObject_Vectorcall(st->zeros, args, 1, nullptr) : nullptr);
        if (!pointX || !pointY) return nullptr;
        auto store = [&](uint32_t array, int64_t element, PyObject* value) {
            PyObject* dest = nullptr;
            for (const ixar::RegionPlan& r : plan.regions) {
                if (array == r.mapX) dest = pointX.get();
                if (array == r.mapY) dest = pointY.get();
            }
            Ref index(PyLong_FromLongLong(base[array] + element));
            return dest && index && PyObject_SetItem(dest, index.get(), value) == 0;
        };
        for (const ixar::RegionPlan& r : plan.regions)
            for (int64_t n = 0; n < 2 * r.placed; ++n) {
                const double value = plan.coordinateValues[static_cast<size_t>(r.values + n)];
                if (ixar::isTextCoordinate(value)) continue;
                Ref v(PyFloat_FromDouble(value));
                if (!v || !store(n % 2 ? r.mapY : r.mapX, n / 2, v.get())) return nullptr;
            }
        for (const ixar::TextCoordinate& c : plan.textCoordinates) {
            Ref v(PyUnicode_DecodeASCII(c.text.data(), static_cast<Py_ssize_t>(c.text.size()), "strict"));
            if (!v || !store(c.array, c.element, v.get())) return nullptr;
        }
    }
    if (plan.failure) {
        setError(st, *plan.failure);
        return nullptr;
    }

    std::vector<int64_t> records, columns;
    std::vector<int64_t> shape(plan.arrays.empty() ? std::vector<int64_t>{} : plan.arrays[0].shape);
    switch (family) {
        case Family::Image:
            records.assign(static_cast<size_t>(shape[0] * shape[1]), -1);
            for (const ixar::RowRead& r : plan.rows) records[static_cast<size_t>(r.id)] = r.offset;
            break;
        case Family::Single:
        case Family::TimeResolved:
        case Family::MultiRegion:
            for (const ixar::RowRead& r : plan.rows) records.push_back(r.offset);
            break;
        default:
            records.assign(plan.traces.begin(), plan.traces.end());
    }
    if (family == Family::MultiRegion || family == Family::MultiRegionTraces)
        shape = {points, family == Family::MultiRegion ? plan.npt : static_cast<int64_t>(plan.traces.size())};
    if (family == Family::MultiRegionTraces)
        for (const ixar::Scatter& s : plan.scatter) columns.push_back(s.column);

    Ref regions(PyList_New(0));
    for (const ixar::RegionPlan& r : plan.regions) {
        Ref one(PyTuple_New(3));
        if (!one) return nullptr;
        PyTuple_SET_ITEM(one.get(), 0, PyLong_FromLong(r.group));
        PyTuple_SET_ITEM(one.get(), 1, PyLong_FromLongLong(r.points));
        PyTuple_SET_ITEM(one.get(), 2, regionTitle(r));
        if (PyErr_Occurred() || PyList_Append(regions.get(), one.get()) < 0) return nullptr;
    }
    Ref dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    for (size_t i = 0; dims && i < shape.size(); ++i)
        PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(i), PyLong_FromLongLong(shape[i]));
    Ref recordArray(int64Array(st, records)), columnArray(int64Array(st, columns));
    if (!regions || !dims || PyErr_Occurred() || !recordArray || !columnArray) return nullptr;
    return Py_BuildValue("{s:i,s:O,s:O,s:O,s:O,s:O,s:L,s:L,s:i,s:O,s:O,s:O,s:O,s:O}",
                         "family", static_cast<int>(family), "parameters", planned.params.get(), "x",
                         planned.x.get(), "mapX", planned.mapX ? planned.mapX.get() : Py_None, "mapY",
                         planned.mapY ? planned.mapY.get() : Py_None, "shape", dims.get(), "npt",
                         static_cast<long long>(plan.npt), "offsetToData", static_cast<long long>(sel.offsetToData),
                         "infoSize", static_cast<int>(plan.infoSize), "records", recordArray.get(), "columns",
                         columnArray.get(), "regions", regions.get(), "pointX",
                         pointX ? pointX.get() : Py_None, "pointY", pointY ? pointY.get() : Py_None);
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
        PyErr_SetString(PyExc_ValueError, "not an IXAR file (its first bytes are not the signature)");
        return nullptr;
    }
    if (!callCore(st, failures, [&] { res->directory = ixar::readDirectory(*res->file, failures); }, false))
        return nullptr;
    if (!failures.empty()) {
        PyErr_Format(PyExc_ValueError,
                     "damaged directory: a read at offset %lld ends at the end of the file (%lld bytes), so the "
                     "directory is cut short",
                     static_cast<long long>(failures.front().at), static_cast<long long>(res->file->size()));
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

PyObject* readByReference(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req) {
    DataSetRequest reference = req;
    reference.reference = true;
    return readDataSet(st, file, sel, reference);
}

// read(request) and layout(request): the data set a request names.
template <PyObject* (*What)(State*, const ixar::File&, const ixar::Selection&, const DataSetRequest&)>
PyObject* sourceDataSet(PyObject* o, PyObject* request) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    if (!st || !res) return nullptr;
    Ref strings[3];
    bool is3D = false;
    ixar::Selection sel;
    DataSetRequest req;
    if (!validateRequest(st, request, strings, is3D) || !selectRequest(st, res->directory, strings, is3D, true, sel, req))
        return nullptr;
    return What(st, *res->file, sel, req);
}

bool int64s(PyObject* o, std::vector<int64_t>& out) {
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
    Ref seq(PySequence_Fast(o, "expected a sequence of record offsets"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[static_cast<size_t>(i)] = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (out[static_cast<size_t>(i)] == -1 && PyErr_Occurred()) return false;
    }
    return true;
}

// windows(records, npt, first, count, is3D), times(records, npt),
// labels(records, npt, infoSize): parts of records, read without the lock.
PyObject* sourceParts(PyObject* o, PyObject* args, int what) {
    State* st = stateOfType(Py_TYPE(o));
    auto res = opened(o);
    if (!st || !res) return nullptr;
    PyObject* records;
    long long npt = 0, first = 0, count = 0, offsetToData = 0;
    int flag = 0;
    if (!PyArg_ParseTuple(args, "OLLLLi", &records, &offsetToData, &npt, &first, &count, &flag)) return nullptr;
    std::vector<int64_t> offsets;
    if (!int64s(records, offsets)) return nullptr;
    ixar::Plan plan;
    ixar::ReadFailures failures;
    if (!callCore(st, failures, [&] {
            plan = what == 0   ? ixar::planWindows(flag ? ixar::Family::TimeResolved : ixar::Family::Single,
                                                   offsetToData, npt, offsets, first, count)
                   : what == 1 ? ixar::planTimes(offsetToData, npt, offsets)
                               : ixar::planLabels(offsetToData, npt, flag, offsets);
        }, false))
        return nullptr;
    PlanArrays arrays;
    arrays.share(st, plan);
    for (const ixar::ArraySpec& a : plan.arrays)
        if (!arrays.make(st, a)) return nullptr;
    std::vector<std::string> labels;
    if (!callCore(st, failures, [&] { ixar::execute(*res->file, plan, arrays.spans, labels, failures); }, false))
        return nullptr;
    if (!failures.empty()) {  // a value cut by the end of the file is an error here, never a 0
        setPastEnd(failures.front(), res->file->size());
        return nullptr;
    }
    if (what != 2) {
        Py_INCREF(arrays[0]);
        return arrays[0];
    }
    return labelList(labels);
}

PyObject* sourceWindows(PyObject* o, PyObject* args) { return sourceParts(o, args, 0); }
PyObject* sourceTimes(PyObject* o, PyObject* args) { return sourceParts(o, args, 1); }
PyObject* sourceLabels(PyObject* o, PyObject* args) { return sourceParts(o, args, 2); }

PyMethodDef kMethods[] = {
    {"close", sourceClose, METH_NOARGS, "Closes the source; reads in flight finish first."},
    {"contents", sourceContents, METH_NOARGS, "The data sets, as listContents names them."},
    {"read", sourceDataSet<readDataSet>, METH_O, "The result getIxarData gives for a request."},
    {"read_reference", sourceDataSet<readByReference>, METH_O,
     "read(), executed one record at a time by the reference executor (for tests)."},
    {"layout", sourceDataSet<layoutOf>, METH_O, "Family, shape, axes and record offsets of a data set."},
    {"windows", sourceWindows, METH_VARARGS, "windows(records, offsetToData, npt, first, count, is3D)"},
    {"times", sourceTimes, METH_VARARGS, "times(records, offsetToData, npt, 0, 0, 0)"},
    {"labels", sourceLabels, METH_VARARGS, "labels(records, offsetToData, npt, 0, 0, infoSize)"},
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
