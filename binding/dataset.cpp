// One data set: prologue and plan from the core, the x and map axes from
// numpy, the arrays the plan asks for, the reads without the interpreter
// lock, and the result object. What needs the interpreter stays here as
// data handed to or taken from the core: the order of the groups of a
// multi-region map, region titles, map coordinates stored as text.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "dataset.hpp"
#include "exec/axis.hpp"
#include "exec/execute.hpp"
#include "plan/family.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"

namespace ixbind {

namespace {

PyObject* item(PyObject* dict, const char* key) { return PyDict_GetItemString(dict, key); }  // borrowed

// numpy.linspace(first, last, n): filled here, bit for bit the same, when
// the bounds are finite floats (and so is their distance) and n a whole
// number of 2 or more; by numpy otherwise (its arithmetic on other numbers,
// and its errors and warnings).
PyObject* xAxis(State* st, PyObject* first, PyObject* last, PyObject* n) {
    if (first && last && n && PyFloat_CheckExact(first) && PyFloat_CheckExact(last) && PyLong_CheckExact(n) &&
        std::isfinite(PyFloat_AS_DOUBLE(last) - PyFloat_AS_DOUBLE(first))) {
        const long long count = PyLong_AsLongLong(n);
        // One point is left to numpy: whether 0 * step + first keeps the
        // sign of a first of -0.0 differs between its versions.
        if (count >= 2) {
            PyObject* args[] = {n, st->float64};
            Ref arr(PyObject_Vectorcall(st->empty, args, 2, nullptr));
            if (!arr) return nullptr;
            Py_buffer view;
            if (PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
            ixar::fillLinspace(PyFloat_AS_DOUBLE(first), PyFloat_AS_DOUBLE(last), count, static_cast<double*>(view.buf));
            PyBuffer_Release(&view);
            return arr.release();
        }
        PyErr_Clear();
    }
    PyObject* args[] = {first, last, n};
    return PyObject_Vectorcall(st->linspace, args, 3, nullptr);
}

}  // namespace

PyObject* regionTuple(const ixar::RegionPlan& r) {
    return Py_BuildValue("(iOLNN)", r.group, r.loose ? Py_True : Py_False, static_cast<long long>(r.points),
                         valueObject(r.nx), valueObject(r.ny));
}

namespace {

// (region, spectra, mapX, mapY, start_time) of each region, as read.
PyObject* regionList(const ixar::Plan& plan, const PlanArrays& arrays) {
    Ref out(PyList_New(0));
    for (size_t i = 0; out && i < plan.regions.size(); ++i) {
        const ixar::RegionPlan& r = plan.regions[i];
        Ref region(Py_BuildValue("(NOOOO)", regionTuple(r), arrays[r.spectra], arrays[r.mapX], arrays[r.mapY],
                                 r.startTime < 0 ? Py_None : arrays[static_cast<size_t>(r.startTime)]));
        if (!region || PyList_Append(out.get(), region.get()) < 0) return nullptr;
    }
    return out.release();
}

// The machine's memory: no plan may need more. AddressSanitizer poisons
// every allocation whole when it is made and freed, which for the arrays of
// many GB that a small file may describe takes from seconds to minutes: its
// builds (tests, fuzzing) plan within 256 MiB.
int64_t memoryBytes() {
    static const int64_t bytes = [] {  // asked once: it costs a system call
        const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
        const int64_t memory = pages > 0 && size > 0 ? static_cast<int64_t>(pages) * size : INT64_MAX;
        return ixar::kAddressSanitizer ? std::min<int64_t>(memory, int64_t{256} << 20) : memory;
    }();
    return bytes;
}


}  // namespace

namespace {
constexpr size_t kArrayAlign = 64;
size_t aligned(int64_t bytes) { return (static_cast<size_t>(bytes) + kArrayAlign - 1) / kArrayAlign * kArrayAlign; }
}  // namespace

void PlanArrays::share(State* st, const ixar::Plan& plan) {
    size_t total = 0;
    for (const ixar::ArraySpec& a : plan.arrays) {
        const int64_t b = a.bytes();
        if (b < 0 || static_cast<uint64_t>(b) > (SIZE_MAX >> 2) - total) return;  // numpy refuses it array by array
        total += aligned(b);
    }
    if (total >= ixar::kHugeMin) pages_ = Ref(newPages(st, total, block_));
}

bool PlanArrays::make(State* st, const ixar::ArraySpec& a) {
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

namespace {

// What the interpreter does while the core plans a data set, where the
// documented order needs it: after the prologue, the parameters become a
// dict and numpy builds the x axis (and an image's map axes), whose failures
// come before anything the data block holds; a multi-region map's regions
// come in the order a Python set of its groups iterates in, which only the
// interpreter knows; its coordinates held as text become numbers as numpy
// stores them. Called without the interpreter, each call takes it;
// read failures met before it are reported first (quiet reads: raised).
class Host final : public ixar::Host {
public:
    Host(State* st, const ixar::File& file, const DataSetRequest& req, ixar::ReadFailures& failures, Planned& out)
        : st_(st), file_(file), req_(req), failures_(failures), out_(out) {}

    void parameters(const ixar::Prologue& p) override {
        locked([&] {
            out_.params = Ref(paramDict(p.params.list()));
            PyObject* params = out_.params.get();
            return params && (out_.x = Ref(xAxis(st_, item(params, "FXV"), item(params, "LXV"), item(params, "NPT"))));
        });
    }
    void notice(const char* text) override {
        locked([&] { return req_.quiet || Ref(PyObject_CallFunction(st_->notice, "s", text)); });
    }
    void mapping(const ixar::Mapping& m, bool replaced) override {
        locked([&] {
            Ref values(Py_BuildValue("(NNNNNN)", valueObject(m.aox), valueObject(m.aoy), valueObject(m.ddx),
                                     valueObject(m.ddy), valueObject(m.npx), valueObject(m.npy)));
            PyObject* args[] = {out_.params.get(), values.get(), replaced ? Py_True : Py_False};
            Ref axes(values ? callHelper(st_->mapAxes, args, 3) : nullptr);
            return axes && PyArg_ParseTuple(axes.get(), "OO", &args[0], &args[1]) &&
                   ((out_.mapX = Ref(newRef(args[0]))), (out_.mapY = Ref(newRef(args[1]))), true);
        });
    }
    // The first rows of the groups, as a set of their values iterates: of
    // the distinct values of a column of integers, else of every cell.
    std::vector<int64_t> groupOrder(const ixar::RegionTables& t) override {
        std::vector<int64_t> order;
        locked([&] {
            const size_t n = t.allInt ? t.distinct.size() : t.group->cells.size();
            Ref values(PyList_New(static_cast<Py_ssize_t>(n))), rows(PyList_New(t.allInt ? static_cast<Py_ssize_t>(n) : 0));
            for (size_t i = 0; values && rows && i < n; ++i) {
                PyObject* v = t.allInt ? PyLong_FromLong(t.distinct[i])
                                       : valueObject(ixar::valueOf(t.annotations, t.group->cells[i]));
                PyObject* row = t.allInt ? PyLong_FromLongLong(t.firstRow[i]) : nullptr;
                if (v) PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), v);
                if (row) PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
                if (!v || (t.allInt && !row)) return false;
            }
            PyObject* args[] = {values.get(), t.allInt ? rows.get() : Py_None};
            Ref got(values && rows ? callHelper(st_->groupOrder, args, 2) : nullptr);
            for (Py_ssize_t i = 0; got && i < PyList_GET_SIZE(got.get()); ++i)
                order.push_back(PyLong_AsLongLong(PyList_GET_ITEM(got.get(), i)));
            return got && !PyErr_Occurred();
        });
        return order;
    }
    // As numpy stores a text into a float array: none where it raises ValueError.
    std::optional<double> coordinate(const std::string& text) override {
        std::optional<double> v;
        locked([&] {
            Ref s(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
            PyObject* args[] = {s.get()};
            Ref got(s ? callHelper(st_->coordinate, args, 1) : nullptr);
            if (got && got.get() != Py_None) v = PyFloat_AsDouble(got.get());
            return got && !PyErr_Occurred();
        });
        return v;
    }

private:
    // Runs with the interpreter, after the read failures met so far.
    template <class Fn>
    void locked(Fn&& fn) {
        withInterpreter([&] {
            if (!failures_.empty() && req_.quiet) {
                setPastEnd(st_, failures_.front(), file_.size());
                return false;
            }
            reportReadFailures(st_, failures_);
            failures_.clear();
            return fn();
        });
    }

    State* st_;
    const ixar::File& file_;
    const DataSetRequest& req_;
    ixar::ReadFailures& failures_;
    Planned& out_;
};

}  // namespace

bool planDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req,
                 Planned& out, ixar::Plan* read) {
    ixar::ReadFailures failures;
    Host host(st, file, req, failures, out);
    const ixar::PlanRequest request{req.is3D, req.traces(), req.codes.derivative != 0, memoryBytes()};
    if (!callCore(st, failures, [&] {
            auto layout = std::make_shared<const ixar::Layout>(
                ixar::layoutOf(ixar::planDataSet(file, sel, request, host, failures)));
            if (read)
                *read = ixar::planRead(*layout);  // a layout nobody keeps goes at once
            else
                out.layout = std::move(layout);
        }, !req.quiet))
        return false;
    if (failures.empty()) return true;
    setPastEnd(st, failures.front(), file.size());  // quiet reads take a read cut by the end of the file as an error
    return false;
}

PyObject* readDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req) {
    Planned planned;
    ixar::Plan plan;
    return planDataSet(st, file, sel, req, planned, &plan) ? readPlan(st, file, planned, std::move(plan), req)
                                                           : nullptr;
}

PyObject* readPlanned(State* st, const ixar::File& file, Planned planned, const DataSetRequest& req) {
    ixar::ReadFailures failures;
    ixar::Plan plan;
    if (!callCore(st, failures, [&] { plan = ixar::planRead(*planned.layout); }, false)) return nullptr;
    planned.layout.reset();  // the read needs only its plan: a layout nobody keeps goes now
    return readPlan(st, file, planned, std::move(plan), req);
}

bool PlanArrays::fill(State* st, const ixar::File& file, ixar::Plan& plan, bool quiet, bool reference,
                      std::vector<std::string>& labels) {
    // The arrays, in the order the points come: one that cannot be made
    // ends the plan there.
    std::optional<PythonError> held;  // raised once the reads that come before it have run
    share(st, plan);
    for (size_t i = 0; i < plan.arrays.size(); ++i)
        if (!make(st, plan.arrays[i])) {
            held.emplace();
            plan.cutAt(plan.arrays[i].step);
            break;
        }
    truncate(plan.arrays.size());
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

PyObject* readPlan(State* st, const ixar::File& file, const Planned& planned, ixar::Plan plan,
                   const DataSetRequest& req) {
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!arrays.fill(st, file, plan, req.quiet, req.reference, labels)) return nullptr;

    // The result, made by the family table from what was read.
    Ref list(PyList_New(0)), names(labelList(labels)), regions(regionList(plan, arrays));
    for (size_t i = 0; list && i < plan.arrays.size(); ++i)
        if (PyList_Append(list.get(), arrays[i]) < 0) return nullptr;
    if (!list || !names || !regions) return nullptr;
    PyObject* mapX = planned.mapX ? planned.mapX.get() : Py_None;
    PyObject* mapY = planned.mapY ? planned.mapY.get() : Py_None;
    return PyObject_CallFunction(st->buildResult, "s(OOO)OOOOOOO", plan.family->name, req.dataType,
                                 req.dimension, req.deriv, planned.params.get(), planned.x.get(), mapX, mapY,
                                 list.get(), names.get(), regions.get());
}
}  // namespace ixbind
