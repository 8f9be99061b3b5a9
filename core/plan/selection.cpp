// Plans of selections of a data set's main array, from its layout: values
// at indexes of every axis, the time value behind each record and the label
// behind each trace.
#include <algorithm>
#include <stdexcept>

#include "common.hpp"
#include "family.hpp"

namespace ixar {

using namespace planning;

namespace {

// Columns further apart than this are read as separate windows of a record.
constexpr int64_t kGap = 4096;

// The flat indexes, over the given axes of an array of this shape, of the
// selected elements, in row-major order (one, 0, where there are no axes).
std::vector<int64_t> flatIndexes(const std::vector<int64_t>& shape, const IndexSelection& sel,
                                 const std::vector<size_t>& axes) {
    std::vector<int64_t> out{0};
    for (size_t a : axes) {
        std::vector<int64_t> next;
        next.reserve(out.size() * sel[a].size());
        for (int64_t base : out)
            for (int64_t i : sel[a]) next.push_back(base * shape[a] + i);
        out = std::move(next);
    }
    return out;
}

}  // namespace

Plan planSelection(const Layout& l, const IndexSelection& sel) {
    if (l.failure) throw std::logic_error("a selection of a data set that fails");
    if (sel.size() != l.shape.size())
        throw Error(ErrorKind::Index, "a selection of " + std::to_string(sel.size()) + " axes of an array of " +
                                          std::to_string(l.shape.size()));
    for (size_t a = 0; a < sel.size(); ++a)
        for (int64_t i : sel[a])
            if (i < 0 || i >= l.shape[a])
                throw Error(ErrorKind::Index, "index " + std::to_string(i) + " is out of bounds for axis " +
                                                  std::to_string(a) + " with size " + std::to_string(l.shape[a]));

    // The records the selection reads and the columns it takes of each:
    // the selected indexes of the record axes (and of the others), taken
    // together in row-major order. The output holds the records' values
    // row by row where the record axes come first, column by column where
    // they come last.
    const unsigned recordAxes = l.family->recordAxes;
    std::vector<size_t> recordAxis, columnAxis;
    for (size_t a = 0; a < sel.size(); ++a) (recordAxes >> a & 1 ? recordAxis : columnAxis).push_back(a);
    const bool recordsFirst = recordAxis.empty() || columnAxis.empty() || recordAxis.back() < columnAxis.front();
    if (!recordsFirst && recordAxis.front() < columnAxis.back())
        throw std::logic_error("record axes between value axes");
    const std::vector<int64_t> ids = flatIndexes(l.shape, sel, recordAxis);
    std::vector<int64_t> columns = flatIndexes(l.shape, sel, columnAxis);
    if (!l.columns.empty())
        for (int64_t& c : columns) c = l.columns.at(static_cast<size_t>(c));
    std::vector<int64_t> records;
    records.reserve(ids.size());
    for (int64_t k : ids) records.push_back(l.records.at(static_cast<size_t>(k)));
    const int64_t rowStride = recordsFirst ? static_cast<int64_t>(columns.size()) : 1;
    const int64_t columnStride = recordsFirst ? 1 : static_cast<int64_t>(records.size());

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
    plan.recordValues = l.npt;
    plan.windowFirsts = firsts;
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
    plan.family = l.family;
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
    plan.family = l.family;
    plan.offsetToData = l.offsetToData;
    plan.infoSize = l.infoSize;
    for (int64_t r : l.records) plan.traces.push_back(advance(std::max<int64_t>(r, 0), 4 * l.npt));
    return plan;
}

}  // namespace ixar
