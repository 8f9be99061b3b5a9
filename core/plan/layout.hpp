// The layout of a data set: what its main array is made of, kept once per
// open source and data set, and the plans of selections of that array.
//
// What the main array of a family is and what its records are, its planner
// says (see family.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plan.hpp"

namespace ixar {

// In a layout's records: no record (an empty cell of an image map, or a
// point whose record the data set fails to find). No offset is one: file
// offsets are planned with saturating arithmetic that stops well short.
inline constexpr int64_t kNoRecord = INT64_MIN;

struct Layout {
    Family family = nullptr;
    std::vector<int64_t> shape;    // of the main array
    int64_t npt = 0;               // values in a record
    int64_t offsetToData = 0;
    int32_t infoSize = 0;
    PageVector<int64_t> records;   // file offsets, in the order of the main array's record axes
    PageVector<int64_t> columns;   // multi-region traces: the column each point takes
    // Multi-region maps: the regions and the x, y of each point, in point
    // order (as the caller converts a text held there).
    std::vector<RegionPlan> regions;
    PageVector<double> pointXY;

    // What a read of all of it fills: the arrays getIxarData returns (in
    // multi-region maps, each region's mapX, mapY, start times and spectra,
    // as RegionPlan numbers them), and the values of a map that a trace
    // takes (image traces).
    std::vector<ArraySpec> arrays;
    int64_t mapValues = -1;
    // The failure that ends the data set, met at point failureStep
    // (multi-region maps): a read of all of it does what comes before.
    std::optional<Error> failure;
    int64_t failureStep = INT64_MAX;
};

// The plan of a read of the whole data set, as getIxarData reads it: every
// record into the arrays, region after region and point after point, up to
// the failure that ends it.
Plan planRead(const Layout& layout);

// A selection of the main array of a data set that reads whole: per axis,
// the indexes taken (in range, in any order, repeats allowed). Its plan
// fills one float32 array of the selection's shape, element [i0, i1, ...]
// from the main array's element [axis0[i0], axis1[i1], ...].
using IndexSelection = std::vector<std::vector<int64_t>>;
Plan planSelection(const Layout& layout, const IndexSelection& selection);

// The time value behind every record, and the label behind every trace.
Plan planTimes(const Layout& layout);
Plan planLabels(const Layout& layout);

}  // namespace ixar
