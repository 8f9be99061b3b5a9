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
Plan planRegions(PlanContext& c);
void regionsLayout(const Plan& plan, Layout& l);
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
    regionsLayout,
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
    regionsLayout,
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

// Builds the plan of a multi-region map point by point, stopping at the
// first failure as the documented order meets it.
class RegionPlanner {
public:
    RegionPlanner(const RegionTables& t, const Prologue& p, Plan& plan, int64_t budget, const Answers& answers)
        : t_(t), a_(t.annotations), plan_(plan), answers_(answers), traces_(p.family == &kMultiRegionTraces),
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
        const int64_t width = traces_ ? traceCount_ : plan_.npt;
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
        if (mul(points, std::max<int64_t>(8, mul(width, 4))) > budget_ || cost_ > budget_)
            return fail(Error(ErrorKind::NoMemory, "regions larger than memory"));
        RegionPlan r{group->i, loose, points, vx, vy, 0, 0, 0};
        r.values = static_cast<int64_t>(plan_.coordinateValues.size());
        r.firstStep = step_;
        r.mapX = array({points}, true);
        r.mapY = array({points}, true);
        if (!traces_) r.startTime = static_cast<int32_t>(array({points}, true));
        r.spectra = array({points, width}, false);
        plan_.regions.push_back(r);
        for (int64_t n = 0; n < points; ++n, ++step_)
            if (!point(r, firstRow + n, n, width)) return false;
        return true;
    }

private:
    bool fail(Error e) {
        plan_.failure = std::move(e);
        plan_.failureStep = step_;
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
        plan_.arrays.push_back({std::move(shape), f64, false, step_});
        return static_cast<uint32_t>(plan_.arrays.size() - 1);
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

    bool point(const RegionPlan& r, int64_t row, int64_t n, int64_t width) {
        const AnnoCell* findex = cell("Fileindex", row, fileindexCol_);
        const AnnoCell* x = findex ? cell("X", row, xCol_) : nullptr;
        if (!x) return false;
        const std::optional<double> xv = coordinate(*x);
        const AnnoCell* y = xv ? cell("Y", row, yCol_) : nullptr;
        const std::optional<double> yv = y ? coordinate(*y) : std::nullopt;
        if (!yv) return false;
        plan_.coordinateValues.push_back(*xv);
        plan_.coordinateValues.push_back(*yv);
        ++plan_.regions.back().placed;
        if (traces_) {
            // The point's values are column Fileindex - 1 of the trace array,
            // with the array library's wrap-around for negative columns.
            int64_t col = -1;
            if (findex->kind == AnnoCell::Kind::Int) {
                col = int64_t{findex->i} - 1;
                if (col < 0) col += plan_.npt;
            }
            if (col < 0 || col >= plan_.npt)
                return fail(failureWith(ErrorKind::TraceColumn, {traceCount_, plan_.npt}, valueOf(a_, *findex)));
            plan_.scatter.push_back({r.spectra, n * width, col, step_});
            return true;
        }
        // A float equal to a spectrum index finds it, as it would in a dict.
        int64_t pos = -1;
        if (findex->kind == AnnoCell::Kind::Int) pos = t_.map.find(findex->i);
        else if (findex->kind == AnnoCell::Kind::Float && std::isfinite(findex->f) &&
                 findex->f == std::floor(findex->f) && std::fabs(findex->f) < 4e9)
            pos = t_.map.find(static_cast<int64_t>(findex->f));
        if (pos < 0) return fail(failureWith(ErrorKind::UnknownSpectrum, {}, valueOf(a_, *findex)));
        plan_.rows.push_back({t_.map.offset[static_cast<size_t>(pos)], n * width, n, step_, r.spectra, r.startTime});
        return true;
    }

    const RegionTables& t_;
    const Annotations& a_;
    Plan& plan_;
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

void askTables(PlanContext& c) { c.asked.tables = readRegionTables(c.file, c.sel, c.prologue, c.failures); }

Plan planRegions(PlanContext& c) {
    const Prologue& p = c.prologue;
    const RegionTables& t = c.asked.tables.value();
    // Regions come in the order of the caller's groups.
    const std::vector<int64_t>& firstRows = c.answers.groupOrder;
    Plan plan = c.start();
    const bool traces = p.family == &kMultiRegionTraces;
    if (traces) {
        plan.traces = t.map.offset;
        plan.infoSize = t.infoSize;
    }
    // Regions usually take each row once: room for that many points.
    if (const AnnoColumn* findex = t.annotations.find("Fileindex")) {
        const size_t rows = findex->cells.size();
        (traces ? plan.scatter.reserve(rows) : plan.rows.reserve(rows));
        plan.coordinateValues.reserve(2 * rows);
    }
    RegionPlanner planner(t, p, plan, c.req.budget, c.answers);
    for (int64_t firstRow : firstRows)
        if (!planner.region(firstRow)) break;
    return plan;
}

// Points region after region; each region's spectra know its first point.
// Only the points placed have records, columns and coordinates: where a data
// set fails, its regions may claim more than memory holds.
void regionsLayout(const Plan& plan, Layout& l) {
    std::vector<int64_t> base(plan.arrays.size(), -1);
    int64_t points = 0, placed = 0;
    for (const RegionPlan& r : plan.regions) {
        base.at(r.spectra) = points;
        points += r.points;
        placed += r.placed;
    }
    l.regions = plan.regions;
    const auto traces = static_cast<int64_t>(plan.traces.size());
    const bool spectra = l.family == &kMultiRegion;
    l.shape = {points, spectra ? plan.npt : traces};
    if (spectra) {
        l.records.assign(static_cast<size_t>(placed), kNoRecord);
        for (const RowRead& r : plan.rows) l.records.at(static_cast<size_t>(base.at(r.array) + r.id)) = r.offset;
    } else {
        l.records.assign(plan.traces.begin(), plan.traces.end());
        l.columns.assign(static_cast<size_t>(placed), -1);
        for (const Scatter& s : plan.scatter)
            l.columns.at(static_cast<size_t>(base.at(s.array) + s.element / std::max<int64_t>(traces, 1))) = s.column;
    }
    l.pointXY.assign(plan.coordinateValues.begin(), plan.coordinateValues.end());  // x, y of each point placed
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
