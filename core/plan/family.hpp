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

// What a family asks of its caller once the prologue is read, and before
// it plans: the caller's own part of the documented reading, done by the
// caller between the stages and handed back as data.
struct Questions {
    // An image map's mapping (replaced: it replaced the six codes in the
    // parameters). The caller takes NPX and NPY as lengths and fails where
    // they are none.
    std::optional<Mapping> mapping;
    bool replaced = false;
    // A multi-region map's tables: the caller puts its groups in its order
    // and converts the map coordinates held as text (columns X and Y).
    std::optional<RegionTables> tables;
};

// A map coordinate held as text, as the caller converted it: none where it
// is no number.
using TextCoordinate = std::optional<double>;

struct Answers {
    std::vector<int64_t> groupOrder;        // the first row of each group, in the caller's order
    std::vector<TextCoordinate> texts;      // by index into the annotations' texts (X and Y cells)
};

struct PlanContext {
    const File& file;
    const Selection& sel;
    const PlanRequest& req;
    Prologue& prologue;
    Questions& asked;
    const Answers& answers;
    ReadFailures& failures;

    // A layout of the data set's family, NPT and data block, to fill.
    Layout start() const {
        Layout l;
        l.family = prologue.family;
        l.npt = prologue.npt;
        l.offsetToData = sel.offsetToData;
        return l;
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
    // A line for the user once the prologue is read (none: nullptr).
    const char* (*notice)(const PlanRequest& req, const Prologue& p);
    // What it asks of the caller, read after the notice (none: nullptr).
    void (*ask)(PlanContext& c);
    // Its layout: the main array's shape and records (and regions and
    // points), the arrays a read of all of it fills, as far as it goes
    // where it fails.
    Layout (*plan)(PlanContext& c);
    // The reads of a read of all of it, into a plan whose other fields are set.
    void (*read)(const Layout& l, Plan& plan);
};

// The planners, in the order they are asked whether they take a data set.
std::span<const Family> families();

// The stages of planning a data set, between which the caller does its
// part: readPrologue (then the caller makes the parameters and the x axis,
// and shows the prologue's notice), askFor (then the caller answers), and
// planDataSet, the data set's layout.
Questions askFor(const File& file, const Selection& sel, const PlanRequest& req, Prologue& p, ReadFailures& failures);
Layout planDataSet(const File& file, const Selection& sel, const PlanRequest& req, Prologue& p, Questions& asked,
                   const Answers& answers, ReadFailures& failures);

// For families whose records each fill a row of the main array, record k
// being row k (kNoRecord where none): a whole read, with a time behind each
// record into timeArray, if >= 0.
void readRows(const Layout& l, int32_t timeArray, Plan& plan);

}  // namespace ixar
