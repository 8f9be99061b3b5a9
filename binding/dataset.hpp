// Reading one selected data set: the core plans, this layer allocates the
// arrays the plan asks for, the core fills them, and a builder makes the
// result object.
#pragma once

#include "binding.hpp"
#include "container/directory.hpp"
#include "container/selection.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"

#include <memory>
#include <span>
#include <vector>

namespace ixbind {

struct DataSetRequest {
    Ref checked;  // (type, dimensions, derivative, ...) as checked: the words results carry
    PyObject *dataType, *dimension, *deriv;  // borrowed from checked
    ixar::Request codes;
    bool is3D;
    bool quiet;              // failed reads and notices not reported (the handle API)
    bool reference = false;  // executed by the reference executor (tests)
    bool traces() const noexcept { return codes.data == ixar::kTraceData; }
};

// The request (type, dimension, derivative) upper-cased and checked, with the
// messages of getIxarData; false with an exception set.
bool checkRequest(State* st, PyObject* datablock, bool quiet, DataSetRequest& req);
// The blocks a checked request selects; false with ValueError when the file
// has no such data set.
bool selectRequest(State* st, const std::vector<ixar::DirEntry>& directory, const DataSetRequest& req,
                   ixar::Selection& sel);

// The arrays of a plan: owning references, and spans over their memory,
// valid for as long as the references are held (until the result is built
// or the error raised).
struct PlanArrays {
    std::vector<Ref> refs;
    std::vector<std::span<unsigned char>> spans;

    // Arrays that are large together share one block of huge pages, each a
    // view of its part: their first touch then costs a fault per 2 MiB, not
    // per 4 KiB. Without a block (small results, or no memory for one) each
    // array is allocated on its own.
    void share(State* st, const ixar::Plan& plan);
    // Makes the arrays of a plan and executes it: quiet, failed reads are
    // not reported but raised; false with an exception set.
    bool fill(State* st, const ixar::File& file, ixar::Plan& plan, bool quiet, bool reference,
              std::vector<std::string>& labels);
    PyObject* operator[](size_t i) const { return refs[i].get(); }

private:
    // The next array of the plan; false with an exception set.
    bool make(State* st, const ixar::ArraySpec& a);
    void truncate(size_t n) {
        while (refs.size() > n) {
            refs.pop_back();
            spans.pop_back();
        }
    }
    Ref pages_;                               // owns block_
    const ixar::PageBlock* block_ = nullptr;
    size_t used_ = 0;
};


// A data set's layout with what the interpreter makes of it first: the
// parameters, the x axis and an image's map axes.
struct Planned {
    Ref params, x, mapX, mapY;
    std::shared_ptr<const ixar::Layout> layout;
};
// With read, the same core call plans a whole read from the layout, which
// is then let go; out.layout stays empty.
bool planDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req,
                 Planned& out, ixar::Plan* read = nullptr);
// (group, loose, points, nx, ny) of a region, from which its title is made.
PyObject* regionTuple(const ixar::RegionPlan& r);

// The result object of a planned data set: a read of all of it, planned
// from its layout (the objects of `planned` become the result's).
PyObject* readPlanned(State* st, const ixar::File& file, Planned planned, const DataSetRequest& req);
// The result object of a plan of a whole read, with the objects of `planned`.
PyObject* readPlan(State* st, const ixar::File& file, const Planned& planned, ixar::Plan plan,
                   const DataSetRequest& req);
// The same for a selected data set, planned first.
PyObject* readDataSet(State* st, const ixar::File& file, const ixar::Selection& sel, const DataSetRequest& req);

}  // namespace ixbind
