// Reading one selected data set: the core plans, this layer allocates the
// arrays the plan asks for, the core fills them, and a builder makes the
// result object.
#pragma once

#include "binding.hpp"
#include "container/directory.hpp"
#include "container/selection.hpp"
#include "plan/plan.hpp"

#include <span>
#include <vector>

namespace ixbind {

struct DataSetRequest {
    PyObject* dataType;  // the request's strings, upper-cased, as results carry them
    PyObject* dimension;
    PyObject* deriv;
    bool is3D;
    bool traces;      // a TRC request
    bool derivative;  // any derivative but NONE
    bool quiet;       // failed reads and notices not reported (the handle API)
};

// The request (type, dimension, derivative) upper-cased and checked, with the
// messages of getIxarData; false with an exception set.
bool validateRequest(State* st, PyObject* datablock, Ref strings[3], bool& is3D);
// The blocks a valid request selects; false with ValueError when the file
// has no such data set.
bool selectRequest(State* st, const std::vector<ixar::DirEntry>& directory, Ref strings[3], bool is3D, bool quiet,
                   ixar::Selection& sel, DataSetRequest& req);

// The arrays of a plan: owning references, and spans over their memory,
// valid for as long as the references are held (until the result is built
// or the error raised).
struct PlanArrays {
    std::vector<Ref> refs;
    std::vector<std::span<unsigned char>> spans;

    bool make(State* st, const ixar::ArraySpec& a) {
        Ref dims(PyTuple_New(static_cast<Py_ssize_t>(a.shape.size())));
        if (!dims) return false;
        for (size_t i = 0; i < a.shape.size(); ++i) {
            PyObject* v = PyLong_FromLongLong(a.shape[i]);
            if (!v) return false;
            PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(i), v);
        }
        PyObject* args[] = {dims.get(), st->float32};
        Ref arr(PyObject_Vectorcall(a.zeroed ? st->zeros : st->empty, args, a.f64 ? 1 : 2, nullptr));
        if (!arr) return false;
        Py_buffer view;
        if (PyObject_GetBuffer(arr.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
        spans.emplace_back(static_cast<unsigned char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        refs.push_back(std::move(arr));
        return true;
    }
    void truncate(size_t n) {
        while (refs.size() > n) {
            refs.pop_back();
            spans.pop_back();
        }
    }
    PyObject* operator[](size_t i) const { return refs[i].get(); }
};


// A data set's plan with what the interpreter makes of it first: the
// parameters, the x axis and an image's map axes.
struct Planned {
    ixar::Prologue pro;
    Ref params, x, mapX, mapY;
    ixar::Plan plan;
};
bool planDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req,
                 Planned& out);
// "Region 1 (4 x 5)" or "Region 2 (7 points)".
PyObject* regionTitle(const ixar::RegionPlan& r);

// The result object of a selected data set.
PyObject* readDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req);
// What the handle API needs to read parts of it: its family, shape,
// parameters, axes and where each row of its main array comes from.
PyObject* layoutOf(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req);

}  // namespace ixbind
