// Layouts of data sets: what their main arrays are made of, and the plan
// that reads all of one, through the family's planner.
#include "layout.hpp"

#include "family.hpp"

namespace ixar {

namespace {

// What a layout and the plan of a read of all of it both hold.
void copyCommon(const Layout& from, Plan& to) {
    to.family = from.family;
    to.npt = from.npt;
    to.offsetToData = from.offsetToData;
    to.infoSize = from.infoSize;
    to.arrays = from.arrays;
    to.mapValues = from.mapValues;
    to.failure = from.failure;
    to.failureStep = from.failureStep;
}

}  // namespace

Plan planRead(const Layout& l) {
    Plan plan;
    copyCommon(l, plan);
    l.family->read(l, plan);
    return plan;
}

void readRows(const Layout& l, int32_t timeArray, Plan& plan) {
    const auto records = static_cast<int64_t>(l.records.size());
    plan.rows.reserve(static_cast<size_t>(records));
    for (int64_t k = 0; k < records; ++k)
        if (const int64_t at = l.records[static_cast<size_t>(k)]; at != kNoRecord)
            plan.rows.push_back({at, k * l.npt, k, 0, 0, timeArray});
}


}  // namespace ixar
