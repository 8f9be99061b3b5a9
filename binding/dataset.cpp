// One data set: prologue and plan from the core, the x and map axes from
// numpy, the arrays the plan asks for, the reads without the interpreter
// lock, and the result object. What needs the interpreter stays here as
// data handed to or taken from the core: the order of the groups of a
// multi-region map, region titles, map coordinates stored as text.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "binding.hpp"
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

// The data sets's planning in its stages, each a core call without the
// interpreter, with the interpreter's part between them where the
// documented order puts it: the parameters become a dict and numpy builds
// the x axis, whose failures come before anything the data block holds;
// then the prologue's notice; then an image's map axes, or a multi-region
// map's group order (a Python set's) and its text coordinates (as numpy
// converts them). Read failures are reported at the end of each stage
// (quiet reads: raised).
class Stages {
public:
    Stages(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req)
        : st_(st), file_(file), sel_(sel), req_(req),
          request_{req.is3D, req.traces(), req.codes.derivative != 0, ixar::machineMemory()} {}

    bool run(Planned& out, std::shared_ptr<const ixar::Layout>* keep, ixar::Plan* read) {
        ixar::Prologue p;
        if (!stage([&] { p = ixar::readPrologue(file_, sel_, request_, failures_); })) return false;
        out.params = Ref(paramDict(p.params.list()));
        PyObject* params = out.params.get();
        if (!params || !(out.x = Ref(xAxis(st_, item(params, "FXV"), item(params, "LXV"), item(params, "NPT")))))
            return false;
        if (p.notice && !req_.quiet && !Ref(PyObject_CallFunction(st_->notice, "s", p.notice))) return false;
        ixar::Questions asked;
        if (!stage([&] { asked = ixar::askFor(file_, sel_, request_, p, failures_); })) return false;
        ixar::Answers answers;
        if (asked.mapping && !mapAxes(*asked.mapping, asked.replaced, out)) return false;
        if (asked.tables && !(groupOrder(*asked.tables, answers) && coordinates(*asked.tables, answers)))
            return false;
        return stage([&] {
            auto layout = std::make_shared<const ixar::Layout>(
                ixar::planDataSet(file_, sel_, request_, p, asked, answers, failures_));
            if (read)
                *read = ixar::planRead(*layout);  // a layout nobody keeps goes at once
            else
                *keep = std::move(layout);
        });
    }

private:
    template <class Fn>
    bool stage(Fn&& fn) {
        if (!callCore(st_, failures_, fn, !req_.quiet)) return false;
        if (failures_.empty()) return true;
        setPastEnd(st_, failures_.front(), file_.size());  // quiet reads take a read cut by the end of the file as an error
        return false;
    }

    bool mapAxes(const ixar::Mapping& m, bool replaced, Planned& out) {
        Ref values(Py_BuildValue("(NNNNNN)", valueObject(m.aox), valueObject(m.aoy), valueObject(m.ddx),
                                 valueObject(m.ddy), valueObject(m.npx), valueObject(m.npy)));
        PyObject* args[] = {out.params.get(), values.get(), replaced ? Py_True : Py_False};
        Ref axes(values ? callHelper(st_->mapAxes, args, 3) : nullptr);
        PyObject *mapX, *mapY;
        if (!axes || !PyArg_ParseTuple(axes.get(), "OO", &mapX, &mapY)) return false;
        out.mapX = Ref(newRef(mapX));
        out.mapY = Ref(newRef(mapY));
        return true;
    }

    // The first rows of the groups, as a set of their values iterates: of
    // the distinct values of a column of integers (with their first rows),
    // else of every cell.
    bool groupOrder(const ixar::RegionTables& t, ixar::Answers& answers) {
        const size_t n = t.allInt ? t.distinct.size() : t.group->cells.size();
        Ref pairs(PyList_New(static_cast<Py_ssize_t>(n)));
        for (size_t i = 0; pairs && i < n; ++i) {
            PyObject* pair = Py_BuildValue(
                "(NL)",
                t.allInt ? PyLong_FromLong(t.distinct[i]) : valueObject(ixar::valueOf(t.annotations, t.group->cells[i])),
                static_cast<long long>(t.allInt ? t.firstRow[i] : static_cast<int64_t>(i)));
            if (!pair) return false;
            PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
        }
        PyObject* args[] = {pairs.get()};
        Ref got(pairs ? callHelper(st_->groupOrder, args, 1) : nullptr);
        for (Py_ssize_t i = 0; got && i < PyList_GET_SIZE(got.get()); ++i)
            answers.groupOrder.push_back(PyLong_AsLongLong(PyList_GET_ITEM(got.get(), i)));
        return got && !PyErr_Occurred();
    }

    // Every text of the X and Y columns, as numpy stores it into a float
    // array (none where it is no number), by the text's index.
    bool coordinates(const ixar::RegionTables& t, ixar::Answers& answers) {
        const std::vector<uint32_t> which = ixar::textCoordinates(t);
        if (which.empty()) return true;
        Ref texts(PyList_New(static_cast<Py_ssize_t>(which.size())));
        for (size_t i = 0; texts && i < which.size(); ++i) {
            const std::string& text = t.annotations.texts.at(which[i]);
            PyObject* s = PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
            if (!s) return false;
            PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), s);
        }
        PyObject* args[] = {texts.get()};
        Ref got(texts ? callHelper(st_->coordinate, args, 1) : nullptr);
        if (!got) return false;
        answers.texts.assign(t.annotations.texts.size(), std::nullopt);
        for (size_t i = 0; i < which.size(); ++i) {
            PyObject* v = PyList_GET_ITEM(got.get(), static_cast<Py_ssize_t>(i));
            if (v != Py_None) answers.texts[which[i]] = PyFloat_AsDouble(v);
        }
        return !PyErr_Occurred();
    }

    State* st_;
    const ixar::File& file_;
    const ixar::Selection& sel_;
    const DataSetRequest& req_;
    const ixar::PlanRequest request_;
    ixar::ReadFailures failures_;
};

}  // namespace

bool planDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req,
                 Planned& out, std::shared_ptr<const ixar::Layout>* keep, ixar::Plan* read) {
    return Stages(st, file, sel, req).run(out, keep, read);
}

PyObject* readPlan(State* st, const ixar::File& file, const Planned& planned, ixar::Plan plan,
                   const DataSetRequest& req, bool reference) {
    PlanArrays arrays;
    std::vector<std::string> labels;
    if (!arrays.fill(st, file, plan, req.quiet, reference, labels)) return nullptr;

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
