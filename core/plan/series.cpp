// Time-resolved series and trace series: records in the order of the offset map.
#include "common.hpp"
#include "family.hpp"

namespace ixar {

using namespace planning;

namespace {

Layout planSeries(PlanContext& c, bool traces);

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
    [](const Layout& l, Plan& plan) {
        plan.traces.assign(l.records.begin(), l.records.end());
        plan.traceRows = 0;
    },
};

namespace {

Layout planSeries(PlanContext& c, bool traces) {
    const Prologue& p = c.prologue;
    Layout l = c.start();
    const StoreTable table = readStoreTable(c.file, c.sel.offsetToData, c.failures);
    checkRecordSize(table, p.npt, c.sel.offsetToData);
    OffsetMap map = buildOffsetMap(table, c.sel.offsetToData);
    const auto count = static_cast<int64_t>(map.size());
    if (traces) l.infoSize = readInfoSize(c.file, c.sel.offsetToData, c.failures);
    if (!count) throw failureWith(ErrorKind::NoRecords, {0});
    l.shape = {count, p.npt};
    l.arrays.push_back({l.shape});
    if (!traces) l.arrays.push_back({{count}, true});
    l.records = std::move(map.offset);
    return l;
}

}  // namespace

}  // namespace ixar
