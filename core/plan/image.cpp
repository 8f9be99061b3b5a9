// Image maps: a record per map cell in storage order, or a trace per map.
#include "common.hpp"

#include <algorithm>
#include <cerrno>

namespace ixar {

using namespace planning;

Plan planImage(const File& file, const Selection& sel, const Prologue& p, int64_t npx, int64_t npy,
               ReadFailures& failures) {
    Plan plan;
    plan.family = p.family;
    plan.npt = p.npt;
    plan.offsetToData = sel.offsetToData;
    const StoreTable table = readStoreTable(file, sel.offsetToData, failures);
    // The image is read in sequence from blockOffset, so a negative one
    // fails as the seek to it would, whether or not records follow.
    if (table.blockOffset < 0) throwOs(EINVAL);
    Records records = walkRecords(table, sel.offsetToData, 4 * p.npt + table.infoSize, true);
    const size_t count = records.offset.size();

    if (p.family == Family::Image) {
        plan.arrays.push_back({{npy, npx, p.npt}, false, true});
        for (size_t k = 0; k < count; ++k) {
            const auto n = static_cast<int64_t>(k);
            if (npx == 0) {
                plan.failure = failureWith(ErrorKind::NoGridColumns, {n});
                return plan;
            }
            const int64_t row = n / npx, col = n % npx;
            if (row >= npy) {
                plan.failure = failureWith(ErrorKind::RowBeyondGrid, {row, n, npy});
                return plan;
            }
            plan.rows.push_back({records.offset[k], (row * npx + col) * p.npt, n});
        }
        plan.failure = records.end;
        return plan;
    }

    // Trace maps: every record is one map of NPY x NPX values.
    const int64_t cells = npx * npy;
    plan.mapValues = cells;
    if (p.npt != cells) {
        // No trace can fill a map: the first one fails, with the values it has.
        if (count) {
            const int64_t values = std::min(std::max<int64_t>(0, file.size() - records.offset[0]) / 4, p.npt);
            Error e = failureWith(ErrorKind::TraceNotMap, {values, 0, npy, npx});
            plan.failure = Error(ErrorKind::TraceNotMap, blockAt(sel.offsetToData) + ": trace 0 holds " +
                                                             std::to_string(values) + " of its " +
                                                             std::to_string(p.npt) + " values");
            plan.failure->n = e.n;
        } else {
            plan.failure = records.end ? records.end : failureWith(ErrorKind::NoRecords, {1});
        }
        return plan;
    }
    plan.arrays.push_back({{npy, npx, table.records}});
    plan.traces = std::move(records.offset);
    plan.infoSize = table.infoSize;
    plan.scatter.reserve(static_cast<size_t>(cells));
    for (int64_t c = 0; c < cells; ++c) plan.scatter.push_back({0, c * table.records, c});
    plan.failure = records.end ? records.end
                   : table.records == 0 ? std::optional<Error>(failureWith(ErrorKind::NoRecords, {1}))
                                        : std::nullopt;
    return plan;
}

}  // namespace ixar
