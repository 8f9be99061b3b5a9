// Every data set a file can name, planned and executed into arrays of the
// sizes the plans ask for: parameter blocks, store tables, annotation tables,
// multi-region resolution and every bulk read. The input is the file; the
// parity of its length picks the source (a descriptor or memory), so that
// seeds need no framing.
//
// Beyond the sanitizers, the target checks what a plan may cost: a plan that
// succeeds reads and allocates no more than its file describes (records and
// annotation rows that lie in the file; image cubes' empty cells aside).
// And it checks values: every plan runs through the fast executor and the
// reference executor, which must agree bit for bit, and a selection of
// values of every record equals the same values of the whole read.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "container/directory.hpp"
#include "container/listing.hpp"
#include "container/selection.hpp"
#include "exec/execute.hpp"
#include "memfile.hpp"
#include "plan/family.hpp"
#include "plan/staged.hpp"
#include "plan/layout.hpp"
#include "plan/plan.hpp"

namespace {

// What the interpreter does between the core's steps, as far as sizes go:
// numpy takes only whole, non-negative numbers of points.
bool wholeCount(const ixar::ParamValue& v) { return v.kind == ixar::ParamValue::Kind::Int && v.i >= 0; }

struct Stop {};  // where the interpreter would have failed

int64_t product(std::initializer_list<int64_t> v) {
    int64_t r = 1;
    for (int64_t x : v)
        if (__builtin_mul_overflow(r, x, &r)) return INT64_MAX;
    return r;
}

// The caller's part of planning: it fails where numpy would take a size
// that is no length; the interpreter's set order of groups is not known
// here, so groups come in order of first appearance; coordinates held as
// text are numbers where strtod reads one. It notes the sizes
// that bound what a plan may cost.
class Caller final {
public:
    int64_t npt = 0, cube = 0, rows = 0;

    void parameters(const ixar::Prologue& p) {
        if (!wholeCount(*p.params.find("NPT"))) throw Stop{};
        npt = p.npt;
    }
    void notice(const char*) {}
    void mapping(const ixar::Mapping& m, bool) {
        if (!wholeCount(m.npx) || !wholeCount(m.npy)) throw Stop{};
        cube = product({m.npx.i, m.npy.i, npt, 4});
    }
    std::vector<int64_t> groupOrder(const ixar::RegionTables& t) {
        std::vector<int64_t> order = t.firstRow;
        if (!t.allInt)
            for (size_t r = 0; r < t.group->cells.size() && order.size() < 64; ++r) order.push_back(int64_t(r));
        for (const ixar::AnnoColumn& c : t.annotations.columns) rows = std::max<int64_t>(rows, int64_t(c.cells.size()));
        return order;
    }
    std::optional<double> coordinate(const std::string& text) {
        char* end = nullptr;  // a number as strtod reads one whole (numpy takes spaces around it too)
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
        return v;
    }
};

// Set from each input's last bytes: the staging size, and a selection.
unsigned gStagingChoice = 0;
uint64_t gSelection = 0;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// What one executor made of a plan.
struct Outcome {
    std::vector<std::vector<unsigned char>> memory;
    std::vector<std::string> labels;
    ixar::ReadFailures failures;
    std::optional<ixar::Error> error;
};

template <class Execute>
Outcome run(Execute execute, const ixar::File& file, const ixar::Plan& plan) {
    Outcome o;
    std::vector<std::span<unsigned char>> spans;
    // Cells that need not be cleared start as garbage: a cell one executor
    // writes and the other misses shows.
    for (const ixar::ArraySpec& a : plan.arrays) o.memory.emplace_back(size_t(a.bytes()), a.zeroed ? 0 : 0xA5);
    for (auto& m : o.memory) spans.emplace_back(m);
    try {
        execute(file, plan, spans, o.labels, o.failures);
    } catch (const ixar::Error& e) {
        o.error = e;
    }
    return o;
}

bool sameValue(const ixar::Value& a, const ixar::Value& b) {
    return a.kind == b.kind && a.i == b.i && !std::memcmp(&a.d, &b.d, sizeof a.d) && a.text == b.text;
}

bool sameError(const std::optional<ixar::Error>& a, const std::optional<ixar::Error>& b) {
    if (!a || !b) return !a && !b;
    return a->kind() == b->kind() && std::string(a->what()) == b->what() && a->code() == b->code() &&
           a->bytes() == b->bytes() && a->n == b->n && sameValue(a->value[0], b->value[0]) &&
           sameValue(a->value[1], b->value[1]);
}

// The plan executed by both executors, which must agree bit for bit: the
// same failure and failed reads, and where it succeeds the same arrays and
// labels. Returns the fast executor's outcome.
Outcome runBoth(const ixar::File& file, const ixar::Plan& plan) {
    Outcome fast = run(ixar::execute, file, plan);
    const Outcome reference = run(ixar::executeReference, file, plan);
    if (std::getenv("IXAR_FUZZ_SHOW"))  // what each executor made of the plan, to see a finding
        for (const Outcome* o : {static_cast<const Outcome*>(&fast), &reference})
            std::fprintf(stderr, "%s: %s, %zu failed reads, %zu labels\n", o == &fast ? "fast" : "reference",
                         o->error ? o->error->what() : "no error", o->failures.size(), o->labels.size());
    check(sameError(fast.error, reference.error));
    check(fast.failures.size() == reference.failures.size());
    for (size_t i = 0; i < fast.failures.size(); ++i)
        check(fast.failures[i].primitive == reference.failures[i].primitive &&
              fast.failures[i].got == reference.failures[i].got && fast.failures[i].at == reference.failures[i].at);
    if (!fast.error) check(fast.memory == reference.memory && fast.labels == reference.labels);
    return fast;
}

void readDataSet(const ixar::File& file, ixar::StagedDataSet staged) {
    ixar::ReadFailures failures;
    Caller caller;
    ixar::Layout layout;
    try {
        layout = ixar::planStaged(file, std::move(staged), caller, failures);
    } catch (const Stop&) {
        return;
    }
    const int64_t cube = caller.cube, rows = caller.rows;

    // What getIxarData runs: the plan of a read of all of it, from its layout.
    ixar::Plan plan = ixar::planRead(layout);

    // Costs: a plan that succeeds reads each record at most once per region
    // and per point, and allocates its arrays from what the file describes.
    const int64_t size = file.size() + 4096;
    const int64_t regions = std::max<int64_t>(1, int64_t(plan.regions.size()));
    int64_t points = 0;
    for (const ixar::RegionPlan& r : plan.regions) points += r.points;
    const int64_t alloc = plan.allocationBytes();
    if (!plan.failure) {
        check(points <= regions * std::max<int64_t>(rows, 1));
        const int64_t perPoint = 4 * std::max<int64_t>(plan.npt, int64_t(plan.traces.size())) + 32;
        check(alloc <= 16 * size + cube + product({points, perPoint}));
        check(plan.readBytes(file.size()) <= 4 * size + product({points, 4 * plan.npt + 8}));
    }
    if (alloc > (int64_t{64} << 20)) return;  // the caller's allocation would fail first

    // Small staging reaches the ways of reading traces that large files take.
    static constexpr int64_t kStaging[] = {int64_t{8} << 20, 4096, 512, 64};
    plan.staging = kStaging[gStagingChoice % 4];

    // A multi-region map's arrays are made as its points come: pretend the
    // caller cannot make the last of them.
    if (!plan.regions.empty() && gStagingChoice & 4) plan.cutAt(plan.arrays.back().step);
    const Outcome full = runBoth(file, plan);
    if (full.error) return;

    // Selections of the main array through the data set's layout, as the
    // handle API reads them, against the same values of the whole read.
    std::vector<unsigned char> whole;  // the main array: regions one after the other
    if (plan.regions.empty() && !full.memory.empty()) whole = full.memory[0];
    for (const ixar::RegionPlan& r : plan.regions)
        whole.insert(whole.end(), full.memory[r.spectra].begin(), full.memory[r.spectra].end());
    int64_t elements = 1;
    for (int64_t n : layout.shape) elements *= n;
    check(int64_t(whole.size()) == 4 * elements);
    uint64_t state = gSelection | 1;
    auto next = [&state] {  // xorshift
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return state;
    };
    ixar::IndexSelection selection;
    for (int64_t n : layout.shape) {
        selection.emplace_back();
        for (uint64_t k = n ? 1 + next() % uint64_t(std::min<int64_t>(n, 6)) : 0; k; --k)
            selection.back().push_back(int64_t(next() % uint64_t(n)));
        if (n > 2 && next() % 3 == 0) {  // a long run, as slices give
            selection.back().clear();
            const int64_t first = int64_t(next() % uint64_t(n));
            for (int64_t i = first; i < n && i < first + 300; ++i) selection.back().push_back(i);
        }
    }
    const Outcome part = runBoth(file, ixar::planSelection(layout, selection));
    check(!part.error);
    std::vector<int64_t> at(selection.size(), 0);  // an element of the selection, axis by axis
    for (size_t out = 0;; ++out) {
        bool empty = false;
        int64_t in = 0;
        for (size_t a = 0; a < at.size(); ++a) {
            empty = empty || selection[a].empty();
            if (!empty) in = in * layout.shape[a] + selection[a][size_t(at[a])];
        }
        if (empty) break;
        check(!std::memcmp(part.memory[0].data() + 4 * out, whole.data() + 4 * in, 4));
        size_t a = at.size();
        while (a > 0 && ++at[a - 1] == int64_t(selection[a - 1].size())) at[--a] = 0;
        if (a == 0) break;
    }
    if (std::string_view(layout.family->name) == "time-resolved") {
        const Outcome times = runBoth(file, ixar::planTimes(layout));
        check(!times.error && times.memory[0] == full.memory[1]);
    }
    if (plan.infoSize >= ixar::kLabelAt) {
        const Outcome labels = runBoth(file, ixar::planLabels(layout));
        check(!labels.error && labels.labels == full.labels);
    }
}

void readAll(const ixar::File& file) {
    ixar::ReadFailures failures;
    (void)ixar::hasSignature(file);
    std::vector<ixar::DirEntry> directory = ixar::readDirectory(file, failures);
    for (const ixar::DataBlockCode& type : ixar::dataBlockCodes())
        for (const ixar::DerivativeCode& deriv : ixar::derivativeCodes())
            for (bool is3D : {false, true}) {
                auto staged = ixar::StagedDataSet::select(directory, type.data, type.sample, deriv.code, is3D,
                                                          int64_t{256} << 20);
                if (!staged) continue;
                try {
                    readDataSet(file, std::move(*staged));
                } catch (const ixar::Error&) {
                }
            }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool fromMemory = size & 1;
    gStagingChoice = size ? data[size - 1] : 0;
    gSelection = 0;
    for (size_t i = size > 8 ? size - 8 : 0; i < size; ++i) gSelection = gSelection << 8 | data[i];
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
