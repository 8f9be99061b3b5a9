// Plans: what reading one data set takes, worked out and checked before a
// byte of its data is read or an array is allocated.
//
// A caller (the binding) asks the planner for a Plan, allocates the arrays
// the plan lists, and hands them to execute() as spans of known length.
// Everything a plan names — offsets, counts, element positions — was checked
// here, once; execute() checks every destination against its span again, so
// that a write outside an array cannot happen even through a planning fault.
//
// Where reading the data set fails part-way, the plan carries the failure and
// the reads that come before it in the data set's order, so that those reads
// (their reports, or an earlier read error) happen first, exactly as a
// reader that went step by step would see them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/annotations.hpp"
#include "container/params.hpp"
#include "container/selection.hpp"
#include "container/store3d.hpp"

namespace ixar {

// A family of data sets: how its records make its arrays. Each is
// described once, by its planner (see family.hpp).
struct FamilyPlanner;
using Family = const FamilyPlanner*;

// ---------------------------------------------------------------- prologue

// What every data set starts with: its merged parameters (the block's own,
// then acquisition, instrument, sample and Fourier-transform blocks, later
// ones replacing values), checked for the codes of the x axis (NPT, FXV,
// LXV, MXY, MNY, in that order) and for an NPT the file can hold.
struct Prologue {
    MergedParams params;
    int64_t npt = 0;  // NPT when it is a whole number
    Family family = nullptr;
    const char* notice = nullptr;  // a line for the user, once the caller has made the x axis
};

// What was asked for: a 3D data set (else a 2D one), traces (TRC), a
// derivative; and the bytes no plan may need more of.
struct PlanRequest {
    bool is3D = false;
    bool traces = false;
    bool derivative = false;
    int64_t budget = INT64_MAX;
};

// The parameters and the family, which the first family planner (in the
// order of the registry) that takes the data set gives.
Prologue readPrologue(const File& file, const Selection& sel, const PlanRequest& req, ReadFailures& failures);

// AOX, AOY, DDX, DDY, NPX, NPY as an image map uses them.
struct Mapping {
    ParamValue aox, aoy, ddx, ddy, npx, npy;
};

// ---------------------------------------------------------------- plans

struct ArraySpec {
    std::vector<int64_t> shape;
    bool f64 = false;     // float64, else float32
    bool zeroed = false;  // cells no read reaches must read 0
    int64_t step = 0;     // multi-region: the point at which it is made
    int64_t elements() const noexcept;
    int64_t bytes() const noexcept;
};

// A record whose npt values fill elements [element, element + npt) of a
// float32 array; with a time, the float64 136 bytes behind its values goes
// to element id of array timeArray. 40 bytes: a data set may have millions.
struct RowRead {
    int64_t offset;
    int64_t element;
    int64_t id = 0;    // its number in messages, and the element of its time
    int64_t step = 0;  // the point it belongs to (multi-region), for cutAt
    uint32_t array = 0;
    int32_t timeArray = -1;
};

// Spreading traces over points: a point takes the value at `column` of every
// trace, in trace order, into elements [element, element + traces) of array.
struct Scatter {
    uint32_t array;
    int64_t element;
    int64_t column;
    int64_t step = 0;
};

// A region of a multi-region map; its title is the caller's to word.
struct RegionPlan {
    int32_t group;
    bool loose;     // "points" title: a region of loose points
    int64_t points;
    ParamValue nx, ny;  // the grid size as the table gives it
    uint32_t mapX, mapY, spectra;
    int32_t startTime = -1;  // spectra only
    // The map coordinates of its first `placed` points: x and y of point n
    // are values values + 2n and values + 2n + 1 of Plan::coordinateValues
    // (as the caller converts a text held there); point n is step
    // firstStep + n.
    int64_t values = 0, placed = 0, firstStep = 0;
};

// Bytes read for a trace's label: the rest of its info record, but no more
// than any file of fileSize bytes could give.
inline int64_t labelBytes(int32_t infoSize, int64_t fileSize) noexcept {
    return infoSize >= kLabelAt ? std::min<int64_t>(infoSize - kLabelAt, fileSize) : 0;
}

struct Plan {
    Family family = nullptr;
    int64_t npt = 0;
    int64_t offsetToData = 0;
    std::vector<ArraySpec> arrays;

    PageVector<RowRead> rows;  // spectra, in reading order

    // Traces: each holds npt values at its offset; a label follows 152
    // bytes behind the values when infoSize is at least 152.
    PageVector<int64_t> traces;
    int32_t infoSize = 0;
    int32_t traceRows = -1;         // trace i fills row i of this (traces, npt) array, or
    PageVector<Scatter> scatter;   // its values are spread over points
    int64_t mapValues = -1;         // image traces: values a map takes (NPY x NPX)

    std::vector<RegionPlan> regions;
    PageVector<double> coordinateValues;

    // Values picked out of rows read whole: rows go to a staging array
    // (array 1, stagingRow values a row), then, for each of pickRows rows i
    // and each pick j, array 0's element i * pickRowStride + j *
    // pickColumnStride takes the staging row's value picks[j].
    std::vector<int64_t> picks;
    int64_t pickRows = 0, stagingRow = 0, pickRowStride = 0, pickColumnStride = 0;
    // A selection's rows are windows of npt values into records of
    // recordValues values, window w starting at value windowFirsts[w] of
    // its record (a staged row's window is its place in its staging row);
    // -1: rows are whole records. For messages about the whole record.
    int64_t recordValues = -1;
    std::vector<int64_t> windowFirsts;

    // Bytes between two reads that are read rather than skipped by another
    // call: large for whole data sets, small for selections (whose sources
    // may be remote, where every byte counts).
    int64_t maxHole = 64 * 1024;
    // Bytes of staging for traces spread over points (a block of columns of
    // every trace, or a batch of whole traces).
    int64_t staging = int64_t{4} << 20;

    // The failure that ends the data set, after everything above.
    std::optional<Error> failure;
    int64_t failureStep = INT64_MAX;

    // The caller failed at a step of its own (an array it could not
    // allocate): drops what comes at or after that step, and makes the plan
    // end there with an External failure.
    void cutAt(int64_t step);
    // Bytes of all arrays, and of all reads from a file of fileSize bytes.
    int64_t allocationBytes() const noexcept;
    int64_t readBytes(int64_t fileSize) const noexcept;
};

// The tables of a multi-region map, which the caller puts the groups of in
// its order before the map is planned.
struct RegionTables {
    Annotations annotations;
    OffsetMap map;
    int32_t infoSize = 0;  // traces only
    const AnnoColumn* group = nullptr;

    // Distinct Int group values in order of first appearance, with the row
    // each first appears in, when every group value is an Int.
    bool allInt = false;
    std::vector<int32_t> distinct;
    std::vector<int64_t> firstRow;
};

// The texts of the map coordinates (columns X and Y) that the caller
// converts: their indexes into the annotations' texts, cell by cell.
std::vector<uint32_t> textCoordinates(const RegionTables& t);

}  // namespace ixar
