// Families of data sets, each described once, by its planner: which data
// sets it takes, how it plans a read of all of one, what its layout holds
// and how a layout is read whole again. The registry (prologue.cpp) lists
// the planners in the order they are asked; a new family is a planner file
// and a line there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "layout.hpp"

namespace ixar {

// What only the caller can do while a data set is planned, asked for where
// the order of a read needs it. A call that fails throws (the caller's own
// error), which ends the planning there.
class Host {
public:
    virtual ~Host() = default;
    // The parameters are merged: what the caller makes of them (its x axis)
    // fails before anything the data block holds.
    virtual void parameters(const Prologue& p) = 0;
    // A line for the user.
    virtual void notice(const char* text) = 0;
    // An image map's mapping (replaced: it replaced the six codes in the
    // parameters). The caller takes NPX and NPY as lengths and fails where
    // they are none.
    virtual void mapping(const Mapping& m, bool replaced) = 0;
    // The first row of each group of a multi-region map, in the caller's order.
    virtual std::vector<int64_t> groupOrder(const RegionTables& t) = 0;
    // A map coordinate held as text, as the caller converts it; none where
    // it is no number.
    virtual std::optional<double> coordinate(const std::string& text) = 0;
};

struct PlanContext {
    const File& file;
    const Selection& sel;
    const PlanRequest& req;
    Prologue& prologue;
    Host& host;
    ReadFailures& failures;

    // A plan of the data set's family, NPT and data block, to fill.
    Plan start() const {
        Plan plan;
        plan.family = prologue.family;
        plan.npt = prologue.npt;
        plan.offsetToData = sel.offsetToData;
        return plan;
    }
};

struct FamilyPlanner {
    const char* name;  // as the caller knows the family
    // Whether a data set of this request and these parameters is of the
    // family (asked once the planners before it in the registry said no).
    bool (*takes)(const PlanRequest& req, const Prologue& p, const Selection& sel);
    // The main array's axes along which the records follow each other (bit
    // a: axis a), all before or all after those of the values in a record.
    unsigned recordAxes;
    bool points;      // the layout holds points with x and y
    bool wholeBlock;  // its one record is the data block itself
    // The plan of a read of all of it, as far as it goes where it fails.
    Plan (*plan)(PlanContext& c);
    // Its records (and regions and points) in a layout whose other fields
    // are set, from such a plan.
    void (*layout)(const Plan& plan, Layout& l);
    // The reads of a read of all of it, into a plan whose other fields are set.
    void (*read)(const Layout& l, Plan& plan);
};

// The planners, in the order they are asked whether they take a data set.
std::span<const Family> families();

// The family's plan of a read of all of a selected data set.
Plan planDataSet(const File& file, const Selection& sel, const PlanRequest& req, Host& host, ReadFailures& failures);

// For families whose records each fill a row of the main array, record k
// being row k: the records of a layout (count rows, kNoRecord where none),
// and a whole read (with a time behind each record into timeArray, if >= 0).
void recordsByRow(const Plan& plan, int64_t count, Layout& l);
void readRows(const Layout& l, int32_t timeArray, Plan& plan);
// For families of traces: a trace per record.
void recordsOfTraces(const Plan& plan, Layout& l);

}  // namespace ixar
