// Parts of a data set for selections: windows of values, time values and labels of records.
#include "common.hpp"

namespace ixar {

using namespace planning;

namespace {

void checkWindow(int64_t npt, int64_t first, int64_t count) {
    if (npt < 0 || first < 0 || count < 0 || first > npt || count > npt - first)
        throwDamaged("values " + std::to_string(first) + " to " + std::to_string(first + count) +
                     " are not values of records of " + std::to_string(npt));
}

}  // namespace

Plan planWindows(Family family, int64_t offsetToData, int64_t npt, const std::vector<int64_t>& records,
                 int64_t first, int64_t count) {
    checkWindow(npt, first, count);
    Plan plan;
    plan.family = family;
    plan.npt = count;
    plan.offsetToData = offsetToData;
    plan.arrays.push_back({{static_cast<int64_t>(records.size()), count}, false, true});
    plan.maxHole = 4 * count;  // read at most twice the bytes selected
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i] >= 0) {
            const auto n = static_cast<int64_t>(i);
            plan.rows.push_back({advance(records[i], 4 * first), n * count, n});
        }
    return plan;
}

Plan planTimes(int64_t offsetToData, int64_t npt, const std::vector<int64_t>& records) {
    checkWindow(npt, 0, npt);
    Plan plan;
    plan.family = Family::TimeResolved;
    plan.offsetToData = offsetToData;
    plan.arrays.push_back({{static_cast<int64_t>(records.size())}, true, true});
    plan.maxHole = 8;
    // Rows of no values whose time lies 136 bytes behind the npt values.
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i] >= 0) {
            const auto n = static_cast<int64_t>(i);
            plan.rows.push_back({advance(records[i], 4 * npt), 0, n, 0, 0, 0});
        }
    return plan;
}

Plan planLabels(int64_t offsetToData, int64_t npt, int32_t infoSize, const std::vector<int64_t>& records) {
    checkWindow(npt, 0, npt);
    Plan plan;
    plan.family = Family::TimeResolvedTraces;
    plan.offsetToData = offsetToData;
    plan.infoSize = infoSize;
    for (int64_t r : records) plan.traces.push_back(advance(std::max<int64_t>(r, 0), 4 * npt));
    return plan;
}

}  // namespace ixar
