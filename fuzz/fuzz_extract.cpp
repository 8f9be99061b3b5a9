// Every data set a file can name, planned and executed into arrays of the
// sizes the plans ask for: parameter blocks, store tables, annotation tables,
// multi-region resolution and every bulk read. The input is the file; the
// parity of its length picks the source (a descriptor or memory), so that
// seeds need no framing.
//
// Beyond the sanitizers, the target checks what a plan may cost: a plan that
// succeeds reads and allocates no more than its file describes (records and
// annotation rows that lie in the file; image cubes' empty cells aside).
#include <algorithm>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "container/selection.hpp"
#include "exec/execute.hpp"
#include "memfile.hpp"
#include "plan/plan.hpp"

namespace {

using ixar::Family;

// What the interpreter does between the core's steps, as far as sizes go:
// numpy takes only whole, non-negative numbers of points.
bool wholeCount(const ixar::ParamValue& v) { return v.kind == ixar::ParamValue::Kind::Int && v.i >= 0; }

// Set from each input's last byte.
unsigned gStagingChoice = 0;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void readDataSet(const ixar::File& file, const ixar::Selection& sel, bool is3D, bool traces, bool derivative) {
    ixar::ReadFailures failures;
    ixar::Prologue p = ixar::readPrologue(file, sel, is3D, traces, failures);
    if (!wholeCount(*p.params.find("NPT"))) return;
    ixar::Plan plan;
    int64_t cube = 0, rows = 0;
    auto product = [](std::initializer_list<int64_t> v) {
        int64_t r = 1;
        for (int64_t x : v)
            if (__builtin_mul_overflow(r, x, &r)) return INT64_MAX;
        return r;
    };
    switch (p.family) {
        case Family::Single:
            plan = ixar::planSingle(file, sel, p);
            break;
        case Family::Image:
        case Family::ImageTraces: {
            ixar::Mapping m = ixar::readMapping(file, sel, p, derivative, failures);
            if (!wholeCount(m.npx) || !wholeCount(m.npy)) return;
            cube = product({m.npx.i, m.npy.i, p.npt, 4});
            plan = ixar::planImage(file, sel, p, m.npx.i, m.npy.i, failures);
            break;
        }
        case Family::TimeResolved:
        case Family::TimeResolvedTraces:
            plan = ixar::planSeries(file, sel, p, failures);
            break;
        case Family::MultiRegion:
        case Family::MultiRegionTraces: {
            ixar::RegionTables t = ixar::readRegionTables(file, sel, p, failures);
            // The interpreter's set order is not known here; first appearance will do.
            std::vector<int64_t> order = t.firstRow;
            if (!t.allInt)
                for (size_t r = 0; r < t.group->cells.size() && order.size() < 64; ++r) order.push_back(int64_t(r));
            for (const ixar::AnnoColumn& c : t.annotations.columns) rows = std::max<int64_t>(rows, int64_t(c.cells.size()));
            plan = ixar::planMultiRegion(t, sel, p, order, int64_t{256} << 20);
            break;
        }
    }

    // Costs: a plan that succeeds reads each record at most once per region
    // and per point, and allocates its arrays from what the file describes.
    const int64_t size = file.size() + 4096;
    const int64_t regions = std::max<int64_t>(1, int64_t(plan.regions.size()));
    int64_t points = 0;
    for (const ixar::RegionPlan& r : plan.regions) points += r.points;
    const int64_t alloc = plan.allocationBytes();
    if (!plan.failure) {
        check(points <= regions * std::max<int64_t>(rows, 1));
        const int64_t perPoint = 4 * std::max<int64_t>(p.npt, int64_t(plan.traces.size())) + 32;
        check(alloc <= 16 * size + cube + product({points, perPoint}));
        check(plan.readBytes(file.size()) <= 4 * size + product({points, 4 * p.npt + 8}));
    }
    if (alloc > (int64_t{64} << 20)) return;  // the caller's allocation would fail first

    // Small staging reaches the ways of reading traces that large files take.
    static constexpr int64_t kStaging[] = {int64_t{8} << 20, 4096, 512, 64};
    plan.staging = kStaging[gStagingChoice % 4];

    std::vector<std::vector<unsigned char>> memory;
    std::vector<std::span<unsigned char>> spans;
    for (const ixar::ArraySpec& a : plan.arrays) {
        memory.emplace_back(static_cast<size_t>(a.bytes()));
        spans.emplace_back(memory.back());
    }
    // Text coordinates are the caller's; pretend the first of them fails.
    if (!plan.textCoordinates.empty()) {
        plan.cutAt(plan.textCoordinates.front().step);
        memory.resize(plan.arrays.size());
        spans.resize(plan.arrays.size());
    }
    std::vector<std::string> labels;
    try {
        ixar::execute(file, plan, spans, labels, failures);
    } catch (const ixar::Error&) {
    }

    // Selections of the same records, as the handle API reads them.
    std::vector<int64_t> records(plan.traces.begin(), plan.traces.end());
    for (const ixar::RowRead& r : plan.rows) records.push_back(r.offset);
    if (records.size() > 4096) records.resize(4096);
    const int64_t first = p.npt / 3, count = std::min<int64_t>(p.npt - first, 64);
    for (const ixar::Plan& part : {ixar::planWindows(p.family, sel.offsetToData, p.npt, records, first, count),
                                   ixar::planTimes(sel.offsetToData, p.npt, records),
                                   ixar::planLabels(sel.offsetToData, p.npt, plan.infoSize, records)}) {
        std::vector<std::vector<unsigned char>> bytes;
        std::vector<std::span<unsigned char>> parts;
        for (const ixar::ArraySpec& a : part.arrays) {
            bytes.emplace_back(static_cast<size_t>(a.bytes()));
            parts.emplace_back(bytes.back());
        }
        labels.clear();
        try {
            ixar::execute(file, part, parts, labels, failures);
        } catch (const ixar::Error&) {
        }
    }
}

void readAll(const ixar::File& file) {
    ixar::ReadFailures failures;
    (void)ixar::hasSignature(file);
    std::vector<ixar::DirEntry> directory = ixar::readDirectory(file, failures);
    for (const ixar::DataBlockCode& type : ixar::dataBlockCodes())
        for (const ixar::DerivativeCode& deriv : ixar::derivativeCodes())
            for (int extend : {0, ixar::kExtend3D}) {
                const ixar::Selection sel = ixar::selectBlocks(directory, {type.data, type.sample, extend, deriv.code});
                if (sel.offsetToData == -1 || sel.offsetToParams == -1) continue;
                try {
                    readDataSet(file, sel, extend != 0, type.data == ixar::kTraceData, deriv.code != 0);
                } catch (const ixar::Error&) {
                }
            }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool fromMemory = size & 1;
    gStagingChoice = size ? data[size - 1] : 0;
    try {
        if (fromMemory) {
            readAll(ixar::File(data, size));
        } else {
            MemFile mem(data, size);
            if (mem.fd() >= 0) readAll(ixar::File(mem.fd()));
        }
    } catch (const ixar::Error&) {
    }
    return 0;
}
