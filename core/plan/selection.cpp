// Plans of selections of a data set's main array, from its layout: values
// at indexes of every axis, the time value behind each record and the label
// behind each trace.
#include <algorithm>
#include <stdexcept>

#include "common.hpp"
#include "layout.hpp"

namespace ixar {

using namespace planning;

namespace {
// Columns further apart than this are read as separate windows of a record.
constexpr int64_t kGap = 4096;
}  // namespace

Plan planSelection(const Layout& l, const IndexSelection& sel) {
    if (l.failure) throw std::logic_error("a selection of a data set that fails");
    if (sel.size() != l.shape.size()) throw std::logic_error("a selection of another number of axes");
    for (size_t a = 0; a < sel.size(); ++a)
        for (int64_t i : sel[a])
            if (i < 0 || i >= l.shape[a]) throw std::logic_error("a selection outside its axis");

    // The records the selection reads, with their numbers in the data set,
    // the columns it takes of each, and where a value goes in the output.
    std::vector<int64_t> records, ids, columns;
    int64_t rowStride = 0, columnStride = 1;
    auto take = [&](const std::vector<int64_t>& which) {
        for (int64_t k : which) {
            records.push_back(l.records.at(static_cast<size_t>(k)));
            ids.push_back(k);
        }
    };
    const auto n = [&](size_t a) { return static_cast<int64_t>(sel[a].size()); };
    switch (l.family) {
        case Family::Single:
            take({0});
            columns = sel[0];
            break;
        case Family::Image:
            for (int64_t y : sel[0])
                for (int64_t x : sel[1]) take({y * l.shape[1] + x});
            columns = sel[2];
            rowStride = n(2);
            break;
        case Family::ImageTraces:
            take(sel[2]);
            for (int64_t y : sel[0])
                for (int64_t x : sel[1]) columns.push_back(y * l.shape[1] + x);
            rowStride = 1;
            columnStride = n(2);
            break;
        case Family::MultiRegionTraces:
            take(sel[1]);
            for (int64_t p : sel[0]) columns.push_back(l.columns.at(static_cast<size_t>(p)));
            rowStride = 1;
            columnStride = n(1);
            break;
        default:
            take(sel[0]);
            columns = sel[1];
            rowStride = n(1);
    }
    if (l.family == Family::Single) rowStride = static_cast<int64_t>(columns.size());

    Plan plan;
    plan.family = l.family;
    plan.offsetToData = l.offsetToData;
    std::vector<int64_t> shape;
    for (const auto& s : sel) shape.push_back(static_cast<int64_t>(s.size()));
    // Every value is written when every record is there (the output in
    // rows or through picks, the staging rows by their windows): memory
    // reused for the arrays then need not be cleared first.
    const bool gaps = std::any_of(records.begin(), records.end(), [](int64_t r) { return r == kNoRecord; });
    plan.arrays.push_back({shape, false, gaps});
    if (records.empty() || columns.empty()) return plan;

    // Windows of neighbouring columns, all as long as the longest, each
    // moved back where it would run past the end of the record.
    std::vector<int64_t> sorted = columns;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<int64_t> firsts{sorted.front()};
    int64_t width = 1;
    for (size_t k = 1; k <= sorted.size(); ++k)
        if (k == sorted.size() || sorted[k] - sorted[k - 1] > kGap) {
            width = std::max(width, sorted[k - 1] - firsts.back() + 1);
            if (k < sorted.size()) firsts.push_back(sorted[k]);
        }
    for (int64_t& f : firsts) f = std::min(f, l.npt - width);
    plan.npt = width;
    plan.maxHole = 4 * width;  // read at most twice the bytes of a window

    const auto count = static_cast<int64_t>(columns.size());
    const bool direct = firsts.size() == 1 && columnStride == 1 && count == width && columns == sorted;
    if (direct) {  // one run of columns, in order: each record's window is its row of the output
        plan.rows.reserve(records.size());
        for (size_t i = 0; i < records.size(); ++i)
            if (records[i] != kNoRecord)
                plan.rows.push_back({advance(records[i], 4 * firsts[0]), static_cast<int64_t>(i) * rowStride, ids[i]});
        return plan;
    }
    // Windows into a staging array, then each value picked from there.
    const auto windows = static_cast<int64_t>(firsts.size());
    plan.stagingRow = windows * width;
    plan.arrays.push_back({{static_cast<int64_t>(records.size()), plan.stagingRow}, false, gaps});
    plan.rows.reserve(records.size() * firsts.size());
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i] != kNoRecord)
            for (int64_t w = 0; w < windows; ++w)
                plan.rows.push_back({advance(records[i], 4 * firsts[static_cast<size_t>(w)]),
                                     static_cast<int64_t>(i) * plan.stagingRow + w * width, ids[i], 0, 1});
    for (int64_t c : columns) {
        const auto w = std::upper_bound(firsts.begin(), firsts.end(), c) - firsts.begin() - 1;
        plan.picks.push_back(w * width + c - firsts[static_cast<size_t>(w)]);
    }
    plan.pickRows = static_cast<int64_t>(records.size());
    plan.pickRowStride = rowStride;
    plan.pickColumnStride = columnStride;
    return plan;
}

Plan planTimes(const Layout& l) {
    Plan plan;
    plan.family = Family::TimeResolved;
    plan.offsetToData = l.offsetToData;
    plan.arrays.push_back({{static_cast<int64_t>(l.records.size())}, true, true});
    plan.maxHole = 8;
    // Rows of no values whose time lies 136 bytes behind the npt values.
    for (size_t i = 0; i < l.records.size(); ++i)
        if (l.records[i] != kNoRecord) {
            const auto n = static_cast<int64_t>(i);
            plan.rows.push_back({advance(l.records[i], 4 * l.npt), 0, n, 0, 0, 0});
        }
    return plan;
}

Plan planLabels(const Layout& l) {
    Plan plan;
    plan.family = Family::TimeResolvedTraces;
    plan.offsetToData = l.offsetToData;
    plan.infoSize = l.infoSize;
    for (int64_t r : l.records) plan.traces.push_back(advance(std::max<int64_t>(r, 0), 4 * l.npt));
    return plan;
}

}  // namespace ixar
