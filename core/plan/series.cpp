// Time-resolved series and trace series: records in the order of the offset map.
#include "common.hpp"

namespace ixar {

using namespace planning;

Plan planSeries(const File& file, const Selection& sel, const Prologue& p, ReadFailures& failures) {
    Plan plan;
    plan.family = p.family;
    plan.npt = p.npt;
    plan.offsetToData = sel.offsetToData;
    const StoreTable table = readStoreTable(file, sel.offsetToData, failures);
    checkRecordSize(table, p.npt, sel.offsetToData);
    OffsetMap map = buildOffsetMap(table, sel.offsetToData);
    const auto count = static_cast<int64_t>(map.size());
    if (p.family == Family::TimeResolvedTraces) {
        plan.infoSize = readInfoSize(file, sel.offsetToData, failures);
        if (!count) throw failureWith(ErrorKind::NoRecords, {0});
        plan.arrays.push_back({{count, p.npt}});
        plan.traces = std::move(map.offset);
        plan.traceRows = 0;
        return plan;
    }
    if (!count) throw failureWith(ErrorKind::NoRecords, {0});
    plan.arrays.push_back({{count, p.npt}});
    plan.arrays.push_back({{count}, true});
    plan.rows.reserve(map.size());
    for (int64_t i = 0; i < count; ++i)
        plan.rows.push_back({map.offset[static_cast<size_t>(i)], i * p.npt, i, 0, 0, 1});
    return plan;
}

}  // namespace ixar
