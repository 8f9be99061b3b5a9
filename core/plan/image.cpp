// Image maps: a record per map cell in storage order, or a trace per map.
#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "common.hpp"
#include "family.hpp"

namespace ixar {

using namespace planning;

namespace {

bool isImage(const PlanRequest& req, const Prologue& p) {
    if (!req.is3D) return false;
    for (const char* code : {"AOX", "AOY", "NPX", "NPY", "DDX", "DDY"})
        if (!p.params.find(code)) return false;
    return true;
}

Layout planImage(PlanContext& c, bool traces);
const char* mappingNotice(const PlanRequest& req, const Prologue& p);
void askMapping(PlanContext& c);

}  // namespace

// (y, x, value): a record per cell, row after row (kNoRecord: an empty cell, read as 0).
extern const FamilyPlanner kImage{
    "image",
    [](const PlanRequest& req, const Prologue& p, const Selection&) { return !req.traces && isImage(req, p); },
    0b011,
    false,
    false,
    mappingNotice,
    askMapping,
    [](PlanContext& c) { return planImage(c, false); },
    [](const Layout& l, Plan& plan) { readRows(l, -1, plan); },
};

// (y, x, trace): a trace per record, each a map; a cell is a column of every trace.
extern const FamilyPlanner kImageTraces{
    "image-traces",
    [](const PlanRequest& req, const Prologue& p, const Selection&) { return req.traces && isImage(req, p); },
    0b100,
    false,
    false,
    mappingNotice,
    askMapping,
    [](PlanContext& c) { return planImage(c, true); },
    [](const Layout& l, Plan& plan) {
        // Trace i is a map: its value c goes to cell c, element i of the cell's values.
        plan.traces.assign(l.records.begin(), l.records.end());
        if (!plan.arrays.empty())
            for (int64_t c = 0; c < l.mapValues; ++c) plan.scatter.push_back({0, c * plan.arrays[0].shape[2], c});
    },
};

namespace {

// Image maps of a derivative whose grid is empty take the underived block's
// mapping, with a notice to the user.
bool takesOriginalMapping(const Prologue& p, bool derivative) noexcept {
    const ParamValue* npx = p.params.find("NPX");
    const ParamValue* npy = p.params.find("NPY");
    return derivative && npx && npy && (npx->equals(0) || npy->equals(0));
}

// AOX, AOY, DDX, DDY, NPX, NPY as the image uses them; with the underived
// mapping, these replace the six codes in p.params. NPX and NPY are checked
// against the file's size.
Mapping readMapping(const File& file, const Selection& sel, Prologue& p, bool original, ReadFailures& failures) {
    static constexpr const char* kCodes[6] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};
    ParamValue m[6];
    if (original) {
        if (sel.offsetToOriginalParams == -1)
            throwDamaged(blockAt(sel.offsetToData) +
                         ": the derivative image has no map size, and the file holds no parameter block of the "
                         "underived data to take the mapping from");
        ParamList params = readParams(file, sel.offsetToOriginalParams, failures);
        for (int i = 0; i < 6; ++i) {
            const ParamValue* v = findParam(params, kCodes[i]);
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

bool isLength(const ParamValue& v) noexcept { return v.kind == ParamValue::Kind::Int && v.i >= 0; }

const char* mappingNotice(const PlanRequest& req, const Prologue& p) {
    return takesOriginalMapping(p, req.derivative) ? "Orignal mapping coordinates used" : nullptr;
}

void askMapping(PlanContext& c) {
    const bool original = takesOriginalMapping(c.prologue, c.req.derivative);
    c.asked.mapping = readMapping(c.file, c.sel, c.prologue, original, c.failures);
    c.asked.replaced = original;
}

Layout planImage(PlanContext& c, bool traces) {
    const Prologue& p = c.prologue;
    const Mapping& m = c.asked.mapping.value();
    if (!isLength(m.npx) || !isLength(m.npy)) throw std::logic_error("map sizes the caller took for lengths");
    const int64_t npx = m.npx.i, npy = m.npy.i;

    Layout l = c.start();
    const StoreTable table = readStoreTable(c.file, c.sel.offsetToData, c.failures);
    // The image is read in sequence from blockOffset, so a negative one
    // fails as the seek to it would, whether or not records follow.
    if (table.blockOffset < 0) throwOs(EINVAL);
    Records records = walkRecords(table, c.sel.offsetToData, 4 * p.npt + table.infoSize, true);
    const size_t count = records.offset.size();

    if (!traces) {
        // Record n fills cell n (row n / NPX, column n % NPX); cells no
        // record reaches read 0.
        l.shape = {npy, npx, p.npt};
        l.arrays.push_back({l.shape, false, true});
        l.records.assign(static_cast<size_t>(mul(npx, npy)), kNoRecord);
        for (size_t k = 0; k < count; ++k) {
            const auto n = static_cast<int64_t>(k);
            if (npx == 0) {
                l.failure = failureWith(ErrorKind::NoGridColumns, {n});
                return l;
            }
            if (n / npx >= npy) {
                l.failure = failureWith(ErrorKind::RowBeyondGrid, {n / npx, n, npy});
                return l;
            }
            l.records[k] = records.offset[k];
        }
        l.failure = records.end;
        return l;
    }

    // Trace maps: every record is one map of NPY x NPX values.
    const int64_t cells = mul(npx, npy);
    l.mapValues = cells;
    if (p.npt != cells) {
        // No trace can fill a map: the first one fails, with the values it has.
        if (count) {
            const int64_t values = std::min(std::max<int64_t>(0, c.file.size() - records.offset[0]) / 4, p.npt);
            Error e = failureWith(ErrorKind::TraceNotMap, {values, 0, npy, npx});
            l.failure = Error(ErrorKind::TraceNotMap, blockAt(c.sel.offsetToData) + ": trace 0 holds " +
                                                          std::to_string(values) + " of its " +
                                                          std::to_string(p.npt) + " values");
            l.failure->n = e.n;
        } else {
            l.failure = records.end ? records.end : failureWith(ErrorKind::NoRecords, {1});
        }
        return l;
    }
    l.shape = {npy, npx, table.records};
    l.arrays.push_back({l.shape});
    l.records = std::move(records.offset);
    l.infoSize = table.infoSize;
    l.failure = records.end ? records.end
                : table.records == 0 ? std::optional<Error>(failureWith(ErrorKind::NoRecords, {1}))
                                     : std::nullopt;
    return l;
}

}  // namespace

}  // namespace ixar
