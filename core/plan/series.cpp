// Time-resolved series and trace series: records in the order of the offset map.
#include "common.hpp"
#include "family.hpp"

namespace ixar {

using namespace planning;

namespace {

Plan planSeries(PlanContext& c, bool traces);

}  // namespace

// (time, value): a record per spectrum, with its time 136 bytes behind its values.
extern const FamilyPlanner kTimeResolved{
    "time-resolved",
    [](const PlanRequest& req, const Prologue& p, const Selection&) { return req.is3D && p.params.find("ZTX"); },
    0b01,
    false,
    false,
    nullptr,
    nullptr,
    [](PlanContext& c) { return planSeries(c, false); },
    [](const Plan& plan, Layout& l) { recordsByRow(plan, static_cast<int64_t>(plan.rows.size()), l); },
    [](const Layout& l, Plan& plan) { readRows(l, 1, plan); },
};

// (trace, value): a record per trace.
extern const FamilyPlanner kTimeResolvedTraces{
    "time-resolved-traces",
    [](const PlanRequest& req, const Prologue&, const Selection& sel) {
        return req.is3D && req.traces && sel.offsetToANNO == -1;
    },
    0b01,
    false,
    false,
    nullptr,
    nullptr,
    [](PlanContext& c) { return planSeries(c, true); },
    recordsOfTraces,
    [](const Layout& l, Plan& plan) {
        plan.traces.assign(l.records.begin(), l.records.end());
        plan.traceRows = 0;
    },
};

namespace {

Plan planSeries(PlanContext& c, bool traces) {
    const Prologue& p = c.prologue;
    Plan plan = c.start();
    const StoreTable table = readStoreTable(c.file, c.sel.offsetToData, c.failures);
    checkRecordSize(table, p.npt, c.sel.offsetToData);
    OffsetMap map = buildOffsetMap(table, c.sel.offsetToData);
    const auto count = static_cast<int64_t>(map.size());
    if (traces) {
        plan.infoSize = readInfoSize(c.file, c.sel.offsetToData, c.failures);
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

}  // namespace

}  // namespace ixar
