#include "execute.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "container/text.hpp"
#include "gather.hpp"

namespace ixar {

namespace {

// Label bytes buffered between two flushes.
constexpr size_t kLabelArena = 1 << 20;

// The planned arrays as typed, bounded destinations.
class Arrays {
public:
    Arrays(const Plan& plan, std::span<const std::span<unsigned char>> spans) : plan_(plan), spans_(spans) {
        if (spans.size() != plan.arrays.size()) throw std::logic_error("plan and arrays differ in number");
        for (size_t i = 0; i < spans.size(); ++i)
            if (static_cast<int64_t>(spans[i].size()) != plan.arrays[i].bytes())
                throw std::logic_error("an array differs from its plan in size");
    }
    // count elements of array a from element e, which must lie inside it.
    template <class T>
    T* at(uint32_t a, int64_t e, int64_t count) const {
        if (a >= spans_.size() || plan_.arrays[a].f64 != (sizeof(T) == 8))
            throw std::logic_error("a destination names no array of its type");
        const auto size = static_cast<int64_t>(spans_[a].size() / sizeof(T));
        if (e < 0 || count < 0 || e > size || count > size - e)
            throw std::logic_error("a destination lies outside its array");
        return reinterpret_cast<T*>(spans_[a].data()) + e;
    }

private:
    const Plan& plan_;
    std::span<const std::span<unsigned char>> spans_;
};

[[noreturn]] void cutShort(const Plan& plan, int64_t id, int64_t offset, size_t gotBytes) {
    const std::string tail = " holds " + std::to_string(gotBytes / 4) + " of its " + std::to_string(plan.npt) +
                             " values before the end of the file";
    if (plan.family == Family::Single) throwDamaged("2D data block at " + at(plan.offsetToData) + tail);
    throwDamaged("3D data block at " + at(plan.offsetToData) + ": spectrum " + std::to_string(id) + " at " +
                 at(offset) + tail);
}

void readRows(const File& file, const Plan& plan, const Arrays& arrays, ReadFailures& failures) {
    Gather g(file, failures, static_cast<size_t>(std::max<int64_t>(plan.maxHole, 0)));
    const int64_t bytes = plan.npt * 4;
    const auto n = static_cast<size_t>(plan.npt);
    // Pieces keep their row's position, for the message of a short one.
    for (size_t i = 0; i < plan.rows.size(); ++i) {
        const RowRead& r = plan.rows[i];
        if (bytes)
            g.add(r.offset, arrays.at<float>(r.array, r.element, plan.npt), static_cast<size_t>(bytes),
                  Gather::Kind::Data, static_cast<int64_t>(i));
        if (r.timeArray >= 0)
            g.add(advance(r.offset, bytes + kTimeAt), arrays.at<double>(static_cast<uint32_t>(r.timeArray), r.timeElement, 1),
                  8, Gather::Kind::Double, 0);
    }
    if (!g.flush()) {
        const auto& s = g.shortPiece();
        const RowRead& r = plan.rows[static_cast<size_t>(s.id)];
        cutShort(plan, r.id, r.offset, s.got);
    }
    // Values arrive as the file stores them (little-endian).
    for (const RowRead& r : plan.rows) {
        if (n) fixFloat32Order(arrays.at<float>(r.array, r.element, plan.npt), n);
        if (r.timeArray >= 0)
            fixFloat64Order(arrays.at<double>(static_cast<uint32_t>(r.timeArray), r.timeElement, 1), 1);
    }
}

// Labels of one batch of traces: their bytes arrive in an arena sized
// before any read is queued, and are decoded once the batch is read.
struct PendingLabels {
    std::string arena;
    std::vector<size_t> got;
    size_t len = 0;

    void prepare(size_t count, size_t labelLen) {
        len = labelLen;
        arena.assign(count * labelLen, '\0');
        got.assign(count, 0);
    }
    char* slot(size_t i) { return arena.data() + i * len; }
    void decodeInto(std::vector<std::string>& labels, size_t count) const {
        for (size_t i = 0; i < count && i < got.size(); ++i)
            labels.push_back(requireAscii(cutAtNul(std::string_view(arena.data() + i * len, got[i]))));
    }
};

// Traces in batches: their values into rows of an array, or into a staging
// area from which each point of the scatter list takes its column.
void readTraces(const File& file, const Plan& plan, const Arrays& arrays, std::vector<std::string>& labels) {
    const int64_t npt = plan.npt;
    const size_t n = static_cast<size_t>(npt);
    const size_t count = plan.traces.size();
    const size_t bytes = n * 4;
    const bool withLabel = plan.infoSize >= kLabelAt;
    const size_t labelLen =
        withLabel ? static_cast<size_t>(std::min<int64_t>(plan.infoSize - kLabelAt, file.size())) : 0;

    // Every destination is checked once, before anything is read.
    float* rows = plan.traceRows >= 0 ? arrays.at<float>(static_cast<uint32_t>(plan.traceRows), 0,
                                                         static_cast<int64_t>(count) * npt)
                                      : nullptr;
    std::vector<float*> targets;
    targets.reserve(plan.scatter.size());
    for (const Scatter& s : plan.scatter) {
        if (s.column < 0 || s.column >= npt) throw std::logic_error("a point takes no column of the traces");
        targets.push_back(arrays.at<float>(s.array, s.element, static_cast<int64_t>(count)));
    }

    // Batches: for a scatter, as many traces as fit in 8 MiB of staging, and
    // as many labels as the arena allows; rows of the staging area a little
    // longer than a trace, so the same column of every row falls into
    // different cache sets.
    size_t batch = rows ? count : std::max<size_t>(1, std::min<size_t>(64, (size_t{8} << 20) / std::max<size_t>(1, bytes)));
    batch = std::max<size_t>(1, std::min(batch, kLabelArena / std::max<size_t>(1, labelLen)));
    const size_t stride = n + 16;
    std::vector<float> staging(rows ? 0 : std::min(batch, count) * stride);
    ReadFailures unused;
    PendingLabels pending;
    for (size_t begin = 0; begin < count;) {
        const size_t end = std::min(count, begin + batch);
        Gather g(file, unused);
        pending.prepare(withLabel ? end - begin : 0, labelLen);
        for (size_t i = begin; i < end; ++i) {
            float* dst = rows ? rows + i * n : staging.data() + (i - begin) * stride;
            if (bytes) g.add(plan.traces[i], dst, bytes, Gather::Kind::Data, static_cast<int64_t>(i));
            if (labelLen)
                g.add(advance(plan.traces[i], static_cast<int64_t>(bytes) + kLabelAt), pending.slot(i - begin), labelLen,
                      Gather::Kind::Bytes, 0, &pending.got[i - begin]);
        }
        if (!g.flush()) {
            const auto& s = g.shortPiece();
            if (withLabel) pending.decodeInto(labels, static_cast<size_t>(s.id) - begin);
            if (plan.mapValues < 0) cutShort(plan, s.id, plan.traces[static_cast<size_t>(s.id)], s.got);
            const int64_t values = static_cast<int64_t>(s.got / 4);
            Error e(ErrorKind::TraceNotMap, "3D data block at " + at(plan.offsetToData) + ": trace " +
                                                std::to_string(s.id) + " holds " + std::to_string(values) +
                                                " of its " + std::to_string(npt) + " values");
            const auto& shape = plan.arrays[0].shape;
            e.n = {values, s.id, shape[0], shape[1]};
            throw e;
        }
        if (withLabel) pending.decodeInto(labels, end - begin);
        if (rows) fixFloat32Order(rows + begin * n, (end - begin) * n);
        if (!rows) {
            for (size_t j = 0; j < end - begin; ++j) fixFloat32Order(staging.data() + j * stride, n);
            for (size_t t = 0; t < targets.size(); ++t) {
                float* out = targets[t] + begin;
                const float* in = staging.data() + plan.scatter[t].column;
                for (size_t j = 0; j < end - begin; ++j) out[j] = in[j * stride];
            }
        }
        begin = end;
    }
}

}  // namespace

void execute(const File& file, const Plan& plan, std::span<const std::span<unsigned char>> spans,
             std::vector<std::string>& labels, ReadFailures& failures) {
    if (plan.npt < 0) throw std::logic_error("a plan with a negative number of values");
    Arrays arrays(plan, spans);
    for (const Coordinate& c : plan.coordinates) *arrays.at<double>(c.array, c.element, 1) = c.value;
    if (!plan.traces.empty()) readTraces(file, plan, arrays, labels);
    if (!plan.rows.empty()) readRows(file, plan, arrays, failures);
    if (plan.failure) throw *plan.failure;
}

}  // namespace ixar
