// Layouts of data sets: what their main arrays are made of, and the plan
// that reads all of one, through the family's planner.
#include "layout.hpp"

#include "family.hpp"

namespace ixar {

namespace {

// What a plan and a layout both hold, from one to the other.
template <class From, class To>
void copyCommon(const From& from, To& to) {
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

Layout layoutOf(const Plan& plan) {
    Layout l;
    copyCommon(plan, l);
    l.shape = plan.arrays.empty() ? std::vector<int64_t>{} : plan.arrays[0].shape;
    plan.family->layout(plan, l);
    return l;
}

Plan planRead(const Layout& l) {
    Plan plan;
    copyCommon(l, plan);
    l.family->read(l, plan);
    return plan;
}

void recordsByRow(const Plan& plan, int64_t count, Layout& l) {
    l.records.assign(static_cast<size_t>(count), kNoRecord);
    for (const RowRead& r : plan.rows) l.records.at(static_cast<size_t>(r.id)) = r.offset;
}

void readRows(const Layout& l, int32_t timeArray, Plan& plan) {
    const auto records = static_cast<int64_t>(l.records.size());
    plan.rows.reserve(static_cast<size_t>(records));
    for (int64_t k = 0; k < records; ++k)
        if (const int64_t at = l.records[static_cast<size_t>(k)]; at != kNoRecord)
            plan.rows.push_back({at, k * l.npt, k, 0, 0, timeArray});
}

void recordsOfTraces(const Plan& plan, Layout& l) { l.records.assign(plan.traces.begin(), plan.traces.end()); }

}  // namespace ixar
