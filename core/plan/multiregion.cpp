// Multi-region maps: the annotation tables sort records into regions of points.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "common.hpp"
#include "family.hpp"

namespace ixar {

using namespace planning;

namespace {

void askTables(PlanContext& c);
Layout planRegions(PlanContext& c);
void readRegions(const Layout& l, Plan& plan);

}  // namespace

// (point, value): a record per point, region after region.
extern const FamilyPlanner kMultiRegion{
    "multi-region",
    [](const PlanRequest& req, const Prologue&, const Selection&) { return req.is3D; },
    0b01,
    true,
    false,
    nullptr,
    askTables,
    planRegions,
    readRegions,
};

// (point, trace): a trace per record; a point is a column of every trace.
extern const FamilyPlanner kMultiRegionTraces{
    "multi-region-traces",
    [](const PlanRequest& req, const Prologue&, const Selection&) { return req.is3D && req.traces; },
    0b10,
    true,
    false,
    nullptr,
    askTables,
    planRegions,
    readRegions,
};

namespace {

bool isZero(const AnnoCell& c) noexcept {
    return (c.kind == AnnoCell::Kind::Int && c.i == 0) || (c.kind == AnnoCell::Kind::Float && c.f == 0.0);
}

RegionTables readRegionTables(const File& file, const Selection& sel, const Prologue& p, ReadFailures& failures) {
    if (sel.offsetToANNO == -1)
        throwDamaged(blockAt(sel.offsetToData) +
                     " has neither image nor time-resolved parameters, and the file holds no annotation block to "
                     "read it as a multi-region map");
    RegionTables t;
    // Only the columns the regions use keep their values.
    static const std::vector<std::string_view> kUsed = {"Group",   "Type",      "AryNX", "AryNY",
                                                        "AryType", "Fileindex", "X",     "Y"};
    t.annotations = readAnnotations(file, sel.offsetToANNO, failures, &kUsed);
    const StoreTable table = readStoreTable(file, sel.offsetToData, failures);
    checkRecordSize(table, p.npt, sel.offsetToData);
    t.map = buildOffsetMap(table, sel.offsetToData);
    t.group = t.annotations.find("Group");
    if (!t.group) throw Error(ErrorKind::Missing, "Group");
    const auto& cells = t.group->cells;
    t.allInt = std::all_of(cells.begin(), cells.end(), [](const AnnoCell& c) { return c.kind == AnnoCell::Kind::Int; });
    if (t.allInt) {
        std::unordered_map<int32_t, bool> seen;
        for (size_t row = 0; row < cells.size(); ++row)
            if (seen.emplace(cells[row].i, true).second) {
                t.distinct.push_back(cells[row].i);
                t.firstRow.push_back(static_cast<int64_t>(row));
            }
    }
    if (p.family == &kMultiRegionTraces) {
        // The traces come before the regions.
        t.infoSize = readInfoSize(file, sel.offsetToData, failures);
        if (t.map.offset.empty()) throw failureWith(ErrorKind::NoRecords, {0});
    }
    return t;
}

// Builds the layout of a multi-region map point by point, stopping at the
// first failure as the documented order meets it. Points come region after
// region; only the points placed have records, columns and coordinates:
// where a data set fails, its regions may claim more than memory holds.
class RegionPlanner {
public:
    RegionPlanner(const RegionTables& t, const Prologue& p, Layout& layout, int64_t budget, const Answers& answers)
        : t_(t), a_(t.annotations), layout_(layout), answers_(answers), traces_(p.family == &kMultiRegionTraces),
          traceCount_(static_cast<int64_t>(t.map.size())), budget_(budget) {}

    // False once the plan has its failure.
    bool region(int64_t firstRow) {
        const AnnoCell* type = cell("Type", firstRow, typeCol_);
        if (!type) return false;
        if (!isZero(*type)) return true;  // not exported
        const AnnoCell* group = cell("Group", firstRow, groupCol_);
        if (!group) return false;
        if (group->kind != AnnoCell::Kind::Int) return fail(failureWith(ErrorKind::GroupNotIndex, {}, valueOf(a_, *group)));
        const AnnoCell* nx = cell("AryNX", firstRow, nxCol_);
        const AnnoCell* ny = nx ? cell("AryNY", firstRow, nyCol_) : nullptr;
        if (!ny) return false;
        const ParamValue vx = valueOf(a_, *nx), vy = valueOf(a_, *ny);
        const int64_t width = traces_ ? traceCount_ : layout_.npt;
        if (nx->kind == AnnoCell::Kind::Text || ny->kind == AnnoCell::Kind::Text)
            return fail(failureWith(ErrorKind::RegionSize, {width}, vx, vy));
        const bool ints = nx->kind == AnnoCell::Kind::Int && ny->kind == AnnoCell::Kind::Int;
        const int64_t product = ints ? int64_t{nx->i} * ny->i : 0;
        const bool zero = ints ? product == 0 : nx->number() * ny->number() == 0.0;
        bool loose = false;
        if (zero) {
            const AnnoCell* aryType = cell("AryType", firstRow, aryTypeCol_);
            if (!aryType) return false;
            loose = isZero(*aryType);
        }
        int64_t points = product;
        if (loose) points = countOf(group->i);
        else if (!ints || product < 0) return fail(failureWith(ErrorKind::RegionSize, {width}, vx, vy));

        // An array larger than memory fails as its allocation would; and the
        // points that rows exist for (the others fail when they are reached),
        // which are read and so take memory, must fit beside the regions
        // before them.
        const int64_t perPoint = add(mul(width, 4), 24);
        const AnnoColumn* findex = a_.find("Fileindex");
        const int64_t rowsLeft = findex ? std::max<int64_t>(0, int64_t(findex->cells.size()) - firstRow) : 0;
        cost_ = add(cost_, mul(std::min(points, rowsLeft), perPoint + kPlanBytesPerPoint));
        if (mul(points, std::max<int64_t>(8, mul(width, 4))) > budget_ || cost_ > budget_) {
            // The array whose allocation fails: a map axis of the points
            // where it alone is larger than memory, else their values.
            Error e(ErrorKind::NoMemory, "regions larger than memory");
            e.n = {points, width, mul(points, 8) > budget_ ? 8 : 4, rowsLeft};
            e.value[0] = vx;
            e.value[1] = vy;
            return fail(std::move(e));
        }
        RegionPlan r{group->i, loose, points, vx, vy, 0, 0, 0};
        r.values = static_cast<int64_t>(layout_.pointXY.size());
        r.firstStep = step_;
        r.mapX = array({points}, true);
        r.mapY = array({points}, true);
        if (!traces_) r.startTime = static_cast<int32_t>(array({points}, true));
        r.spectra = array({points, width}, false);
        layout_.regions.push_back(r);
        for (int64_t n = 0; n < points; ++n, ++step_)
            if (!point(firstRow + n)) return false;
        return true;
    }

private:
    bool fail(Error e) {
        layout_.failure = std::move(e);
        layout_.failureStep = step_;
        return false;
    }

    // annotations[name][row]; col caches the column.
    const AnnoCell* cell(const char* name, int64_t row, const AnnoColumn*& col) {
        if (!col && !(col = a_.find(name))) return fail(Error(ErrorKind::Missing, name)), nullptr;
        if (row < 0 || row >= static_cast<int64_t>(col->cells.size()))
            return fail(failureWith(ErrorKind::RowMissing, {row})), nullptr;
        return &col->cells[static_cast<size_t>(row)];
    }

    // Rows whose group equals g by value, counted once for all regions.
    int64_t countOf(int32_t g) {
        if (counts_.empty())
            for (const AnnoCell& c : t_.group->cells) {
                if (c.kind == AnnoCell::Kind::Int) ++counts_[c.i];
                else if (c.kind == AnnoCell::Kind::Float && c.f == std::floor(c.f) && std::fabs(c.f) < 4e9)
                    ++counts_[static_cast<int64_t>(c.f)];
            }
        auto it = counts_.find(g);
        return it == counts_.end() ? 0 : it->second;
    }

    uint32_t array(std::vector<int64_t> shape, bool f64) {
        layout_.arrays.push_back({std::move(shape), f64, false, step_});
        return static_cast<uint32_t>(layout_.arrays.size() - 1);
    }

    // A coordinate as the point's map array takes it: a text as the caller
    // converts it, which fails where it is no number.
    std::optional<double> coordinate(const AnnoCell& c) {
        if (c.kind != AnnoCell::Kind::Text) return c.number();
        if (c.text >= answers_.texts.size()) throw std::logic_error("a text coordinate the caller did not convert");
        const TextCoordinate v = answers_.texts[c.text];
        if (!v) fail(failureWith(ErrorKind::TextCoordinate, {}, valueOf(a_, c)));
        return v;
    }

    bool point(int64_t row) {
        const AnnoCell* findex = cell("Fileindex", row, fileindexCol_);
        const AnnoCell* x = findex ? cell("X", row, xCol_) : nullptr;
        if (!x) return false;
        const std::optional<double> xv = coordinate(*x);
        const AnnoCell* y = xv ? cell("Y", row, yCol_) : nullptr;
        const std::optional<double> yv = y ? coordinate(*y) : std::nullopt;
        if (!yv) return false;
        layout_.pointXY.push_back(*xv);
        layout_.pointXY.push_back(*yv);
        ++layout_.regions.back().placed;
        if (traces_) {
            layout_.columns.push_back(-1);
            // The point's values are column Fileindex - 1 of the trace array,
            // with the array library's wrap-around for negative columns.
            int64_t col = -1;
            if (findex->kind == AnnoCell::Kind::Int) {
                col = int64_t{findex->i} - 1;
                if (col < 0) col += layout_.npt;
            }
            if (col < 0 || col >= layout_.npt)
                return fail(failureWith(ErrorKind::TraceColumn, {traceCount_, layout_.npt}, valueOf(a_, *findex)));
            layout_.columns.back() = col;
            return true;
        }
        // A float equal to a spectrum index finds it, as it would in a dict.
        layout_.records.push_back(kNoRecord);
        int64_t pos = -1;
        if (findex->kind == AnnoCell::Kind::Int) pos = t_.map.find(findex->i);
        else if (findex->kind == AnnoCell::Kind::Float && std::isfinite(findex->f) &&
                 findex->f == std::floor(findex->f) && std::fabs(findex->f) < 4e9)
            pos = t_.map.find(static_cast<int64_t>(findex->f));
        if (pos < 0) return fail(failureWith(ErrorKind::UnknownSpectrum, {}, valueOf(a_, *findex)));
        layout_.records.back() = t_.map.offset[static_cast<size_t>(pos)];
        return true;
    }

    const RegionTables& t_;
    const Annotations& a_;
    Layout& layout_;
    const Answers& answers_;
    const bool traces_;
    const int64_t traceCount_;
    const int64_t budget_;
    int64_t cost_ = 0;
    int64_t step_ = 0;
    static constexpr int64_t kPlanBytesPerPoint = sizeof(RowRead) + 2 * sizeof(double);
    std::unordered_map<int64_t, int64_t> counts_;
    const AnnoColumn *typeCol_ = nullptr, *groupCol_ = nullptr, *nxCol_ = nullptr, *nyCol_ = nullptr,
                     *aryTypeCol_ = nullptr, *fileindexCol_ = nullptr, *xCol_ = nullptr, *yCol_ = nullptr;
};

}  // namespace

std::vector<uint32_t> textCoordinates(const RegionTables& t) {
    std::vector<uint32_t> which;
    for (const char* name : {"X", "Y"})
        if (const AnnoColumn* col = t.annotations.find(name))
            for (const AnnoCell& cell : col->cells)
                if (cell.kind == AnnoCell::Kind::Text) which.push_back(cell.text);
    return which;
}

namespace {

void askTables(PlanContext& c) { c.asked.tables = readRegionTables(c.file, c.sel, c.prologue, c.failures); }

Layout planRegions(PlanContext& c) {
    const Prologue& p = c.prologue;
    const RegionTables& t = c.asked.tables.value();
    Layout l = c.start();
    const bool traces = p.family == &kMultiRegionTraces;
    if (traces) {
        l.records.assign(t.map.offset.begin(), t.map.offset.end());
        l.infoSize = t.infoSize;
    }
    // Regions usually take each row once: room for that many points.
    if (const AnnoColumn* findex = t.annotations.find("Fileindex")) {
        const size_t rows = findex->cells.size();
        (traces ? l.columns.reserve(rows) : l.records.reserve(rows));
        l.pointXY.reserve(2 * rows);
    }
    // Regions come in the order of the caller's groups.
    RegionPlanner planner(t, p, l, c.req.budget, c.answers);
    for (int64_t firstRow : c.answers.groupOrder)
        if (!planner.region(firstRow)) break;
    int64_t points = 0;
    for (const RegionPlan& r : l.regions) points += r.points;
    l.shape = {points, traces ? static_cast<int64_t>(l.records.size()) : p.npt};
    return l;
}

// Points region after region, each with its x and y, its record (spectra)
// or its column of every trace (traces).
void readRegions(const Layout& l, Plan& plan) {
    const bool traces = l.family == &kMultiRegionTraces;
    const int64_t width = traces ? static_cast<int64_t>(l.records.size()) : l.npt;
    if (traces) plan.traces.assign(l.records.begin(), l.records.end());
    plan.regions = l.regions;
    size_t placed = 0;
    for (const RegionPlan& r : l.regions) placed += static_cast<size_t>(r.placed);
    plan.coordinateValues.reserve(2 * placed);
    if (traces)
        plan.scatter.reserve(placed);
    else
        plan.rows.reserve(placed);
    int64_t first = 0;
    for (const RegionPlan& r : l.regions) {
        for (int64_t n = 0; n < r.placed; ++n) {
            const auto point = static_cast<size_t>(first + n);
            const int64_t step = r.firstStep + n;
            plan.coordinateValues.push_back(l.pointXY.at(2 * point));
            plan.coordinateValues.push_back(l.pointXY.at(2 * point + 1));
            if (traces && l.columns.at(point) >= 0)
                plan.scatter.push_back({r.spectra, n * width, l.columns[point], step});
            else if (!traces && l.records.at(point) != kNoRecord)
                plan.rows.push_back({l.records[point], n * width, n, step, r.spectra, r.startTime});
        }
        first += r.points;
    }
}

}  // namespace

}  // namespace ixar
