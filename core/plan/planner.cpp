// The planners: for each family, what the data set's documented reading
// order does, as a list of checked reads and the first failure.
#include "plan.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace ixar {

namespace {

std::string blockAt(int64_t offset) { return "3D data block at " + at(offset); }

const ParamValue& require(const MergedParams& params, const char* code) {
    const ParamValue* v = params.find(code);
    if (!v) throw Error(ErrorKind::Missing, code);
    return *v;
}

// A size parameter must not claim more data than the file holds (a value
// that is no whole number is left for the caller's arithmetic to reject).
void checkSize(const File& file, const char* code, const ParamValue& v, int64_t bytesEach) {
    if (v.kind == ParamValue::Kind::Int && v.i > 0 && v.i > file.size() / bytesEach)
        throwDamaged(std::string(code) + " = " + std::to_string(v.i) + " claims more data than the file holds (" +
                     std::to_string(file.size()) + " bytes)");
}

ParamValue zeroOf() { return ParamValue{}; }

Error failureWith(ErrorKind kind, std::initializer_list<int64_t> n, const ParamValue& a = zeroOf(),
                  const ParamValue& b = zeroOf()) {
    Error e = numbered(kind, n);
    e.value = {a, b};
    return e;
}

bool isZero(const AnnoCell& c) noexcept {
    return (c.kind == AnnoCell::Kind::Int && c.i == 0) || (c.kind == AnnoCell::Kind::Float && c.f == 0.0);
}

// Records of a series or map must not lie inside one another: each holds
// NPT values, so blockSize must leave room for them.
void checkRecordSize(const StoreTable& t, int64_t npt, int64_t offsetToData) {
    if (t.records > 1 && int64_t{t.blockSize} < 4 * npt)
        throwDamaged(blockAt(offsetToData) + ": records of " + std::to_string(t.blockSize) + " bytes cannot hold " +
                     std::to_string(npt) + " values each");
}

}  // namespace

// ---------------------------------------------------------------- prologue

Prologue readPrologue(const File& file, const Selection& sel, bool is3D, bool traceRequest, ReadFailures& failures) {
    Prologue p;
    p.params.merge(readParams(file, sel.offsetToParams, failures));
    for (int64_t offset :
         {sel.offsetToAcqParams, sel.offsetToInstParams, sel.offsetToSampleParams, sel.offsetToFTParams})
        if (offset != -1) p.params.merge(readParams(file, offset, failures));
    const ParamValue& npt = require(p.params, "NPT");
    for (const char* code : {"FXV", "LXV", "MXY", "MNY"}) require(p.params, code);
    checkSize(file, "NPT", npt, 4);
    p.npt = npt.kind == ParamValue::Kind::Int ? npt.i : 0;
    if (!is3D) return p;

    // The family: image maps when all six mapping codes are there, series
    // when a z axis is, trace series for a trace request on a file without
    // annotations, multi-region maps otherwise.
    bool image = true;
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"}) image = image && p.params.find(code);
    if (image) p.family = traceRequest ? Family::ImageTraces : Family::Image;
    else if (p.params.find("ZTX")) p.family = Family::TimeResolved;
    else if (sel.offsetToANNO == -1 && traceRequest) p.family = Family::TimeResolvedTraces;
    else p.family = traceRequest ? Family::MultiRegionTraces : Family::MultiRegion;
    return p;
}

bool takesOriginalMapping(const Prologue& p, bool derivative) noexcept {
    const ParamValue* npx = p.params.find("NPX");
    const ParamValue* npy = p.params.find("NPY");
    return derivative && npx && npy && (npx->equals(0) || npy->equals(0));
}

Mapping readMapping(const File& file, const Selection& sel, Prologue& p, bool derivative, ReadFailures& failures) {
    static constexpr const char* kCodes[6] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};
    ParamValue m[6];
    if (takesOriginalMapping(p, derivative)) {
        if (sel.offsetToOriginalParams == -1)
            throwDamaged(blockAt(sel.offsetToData) +
                         ": the derivative image has no map size, and the file holds no parameter block of the "
                         "underived data to take the mapping from");
        ParamList original = readParams(file, sel.offsetToOriginalParams, failures);
        for (int i = 0; i < 6; ++i) {
            const ParamValue* v = findParam(original, kCodes[i]);
            if (!v) throw Error(ErrorKind::Missing, kCodes[i]);
            m[i] = *v;
        }
        for (int i = 0; i < 6; ++i) p.params.set(kCodes[i], m[i]);
    } else {
        for (int i = 0; i < 6; ++i) m[i] = require(p.params, kCodes[i]);
    }
    checkSize(file, "NPX", m[4], 1);
    checkSize(file, "NPY", m[5], 1);
    return {m[0], m[1], m[2], m[3], m[4], m[5]};
}

// ---------------------------------------------------------------- plans

// Sizes are planned from the file's numbers, so their arithmetic saturates
// rather than wraps: a size no memory can hold stays one.
namespace {
constexpr int64_t kHuge = std::numeric_limits<int64_t>::max();
int64_t mul(int64_t a, int64_t b) noexcept {
    int64_t r;
    return __builtin_mul_overflow(a, b, &r) ? kHuge : r;
}
int64_t add(int64_t a, int64_t b) noexcept {
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? kHuge : r;
}
}  // namespace

int64_t ArraySpec::elements() const noexcept {
    int64_t n = 1;
    for (int64_t d : shape) n = mul(n, d);
    return n;
}

int64_t ArraySpec::bytes() const noexcept { return mul(elements(), f64 ? 8 : 4); }

int64_t Plan::allocationBytes() const noexcept {
    int64_t total = 0;
    for (const ArraySpec& a : arrays) total = add(total, a.bytes());
    return total;
}

int64_t Plan::readBytes(int64_t fileSize) const noexcept {
    const int64_t label = labelBytes(infoSize, fileSize);
    return add(mul(static_cast<int64_t>(rows.size()), add(mul(4, npt), 8)),
               mul(static_cast<int64_t>(traces.size()), add(mul(4, npt), label)));
}

void Plan::cutAt(int64_t step) {
    if (step > failureStep) return;
    auto from = [step](const auto& v) { return v.step >= step; };
    std::erase_if(rows, from);
    std::erase_if(scatter, from);
    std::erase_if(textCoordinates, from);
    while (!arrays.empty() && arrays.back().step >= step) arrays.pop_back();
    while (!regions.empty() && regions.back().spectra >= arrays.size()) regions.pop_back();
    for (RegionPlan& r : regions) r.placed = std::clamp<int64_t>(step - r.firstStep, 0, r.placed);
    failure = Error(ErrorKind::External, "");
    failureStep = step;
}

Plan planSingle(const File& file, const Selection& sel, const Prologue& p) {
    (void)file;
    Plan plan;
    plan.family = Family::Single;
    plan.npt = p.npt;
    plan.offsetToData = sel.offsetToData;
    plan.arrays.push_back({{p.npt}});
    plan.rows.push_back({sel.offsetToData, 0});
    return plan;
}

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

// ---------------------------------------------------------------- multi-region

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
    if (p.family == Family::MultiRegionTraces) {
        // The traces come before the regions.
        t.infoSize = readInfoSize(file, sel.offsetToData, failures);
        if (t.map.offset.empty()) throw failureWith(ErrorKind::NoRecords, {0});
    }
    return t;
}

namespace {

// Builds the plan of a multi-region map point by point, stopping at the
// first failure as the documented order meets it.
class RegionPlanner {
public:
    RegionPlanner(const RegionTables& t, const Prologue& p, Plan& plan, int64_t budget)
        : t_(t), a_(t.annotations), plan_(plan), traces_(p.family == Family::MultiRegionTraces),
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

    double coordinate(const AnnoCell& c, uint32_t arr, int64_t n) {
        if (c.kind != AnnoCell::Kind::Text) return c.number();
        plan_.textCoordinates.push_back({arr, n, a_.texts[c.text], step_});
        return std::bit_cast<double>(kTextCoordinate);
    }

    bool point(const RegionPlan& r, int64_t row, int64_t n, int64_t width) {
        const AnnoCell* findex = cell("Fileindex", row, fileindexCol_);
        const AnnoCell* x = findex ? cell("X", row, xCol_) : nullptr;
        if (!x) return false;
        const double xv = coordinate(*x, r.mapX, n);
        const AnnoCell* y = cell("Y", row, yCol_);
        if (!y) return false;
        plan_.coordinateValues.push_back(xv);
        plan_.coordinateValues.push_back(coordinate(*y, r.mapY, n));
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

Plan planMultiRegion(const RegionTables& t, const Selection& sel, const Prologue& p,
                     const std::vector<int64_t>& firstRows, int64_t budget) {
    Plan plan;
    plan.family = p.family;
    plan.npt = p.npt;
    plan.offsetToData = sel.offsetToData;
    if (p.family == Family::MultiRegionTraces) {
        plan.traces = t.map.offset;
        plan.infoSize = t.infoSize;
    }
    // Regions usually take each row once: room for that many points.
    if (const AnnoColumn* findex = t.annotations.find("Fileindex")) {
        const size_t rows = findex->cells.size();
        (p.family == Family::MultiRegionTraces ? plan.scatter.reserve(rows) : plan.rows.reserve(rows));
        plan.coordinateValues.reserve(2 * rows);
    }
    RegionPlanner planner(t, p, plan, budget);
    for (int64_t firstRow : firstRows)
        if (!planner.region(firstRow)) break;
    return plan;
}

// ---------------------------------------------------------------- parts

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
