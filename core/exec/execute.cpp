#include "execute.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "container/pages.hpp"
#include "container/text.hpp"
#include "destinations.hpp"
#include "gather.hpp"
#include "plan/family.hpp"

namespace ixar {

void throwShortRecord(const Plan& plan, int64_t id, int64_t offset, size_t gotBytes, int64_t element,
                      int64_t fileSize) {
    auto values = static_cast<int64_t>(gotBytes / 4);
    int64_t npt = plan.npt;
    if (plan.recordValues >= 0 && !plan.windowFirsts.empty()) {
        const int64_t w = plan.stagingRow > 0 && plan.npt > 0 ? element % plan.stagingRow / plan.npt : 0;
        const int64_t first = plan.windowFirsts[static_cast<size_t>(
            std::clamp<int64_t>(w, 0, static_cast<int64_t>(plan.windowFirsts.size()) - 1))];
        offset -= 4 * first;
        npt = plan.recordValues;
        values = fileSize > offset ? std::min((fileSize - offset) / 4, npt) : 0;
    }
    const std::string tail = " holds " + std::to_string(values) + " of its " + std::to_string(npt) +
                             " values before the end of the file";
    if (plan.family && plan.family->wholeBlock) throwDamaged("2D data block at " + at(plan.offsetToData) + tail);
    throwDamaged("3D data block at " + at(plan.offsetToData) + ": spectrum " + std::to_string(id) + " at " +
                 at(offset) + tail);
}

void pickValues(const Plan& plan, const Arrays& arrays) {
    if (plan.picks.empty() || plan.pickRows <= 0) return;
    const auto picks = static_cast<int64_t>(plan.picks.size());
    const int64_t last = (plan.pickRows - 1) * plan.pickRowStride + (picks - 1) * plan.pickColumnStride;
    const int64_t widest = *std::max_element(plan.picks.begin(), plan.picks.end());
    if (plan.pickRowStride < 0 || plan.pickColumnStride < 0 || *std::min_element(plan.picks.begin(), plan.picks.end()) < 0 ||
        widest >= plan.stagingRow)
        throw std::logic_error("picks outside their rows");
    float* out = arrays.at<float>(0, 0, last + 1);
    const float* in = arrays.at<float>(1, 0, plan.pickRows * plan.stagingRow);
    for (int64_t i = 0; i < plan.pickRows; ++i, in += plan.stagingRow, out += plan.pickRowStride) {
        float* o = out;
        for (int64_t j = 0; j < picks; ++j, o += plan.pickColumnStride) *o = in[plan.picks[static_cast<size_t>(j)]];
    }
}

void throwShortTrace(const Plan& plan, int64_t id, size_t gotBytes) {
    if (plan.mapValues < 0) throwShortRecord(plan, id, plan.traces[static_cast<size_t>(id)], gotBytes, 0, 0);
    const auto values = static_cast<int64_t>(gotBytes / 4);
    Error e(ErrorKind::TraceNotMap, "3D data block at " + at(plan.offsetToData) + ": trace " + std::to_string(id) +
                                        " holds " + std::to_string(values) + " of its " + std::to_string(plan.npt) +
                                        " values");
    const auto& shape = plan.arrays[0].shape;
    e.n = {values, id, shape[0], shape[1]};
    throw e;
}

namespace {

// Label bytes buffered between two flushes.
constexpr size_t kLabelArena = 1 << 20;

void readRows(const File& file, const Plan& plan, const Arrays& arrays, ReadFailures& failures) {
    Gather g(file, failures, static_cast<size_t>(std::max<int64_t>(plan.maxHole, 0)));
    const int64_t bytes = plan.npt * 4;
    const auto n = static_cast<size_t>(plan.npt);
    // Pieces keep their row's position, for the message of a short one.
    auto readQueued = [&] {
        if (g.flush()) return;
        const auto& s = g.shortPiece();
        const RowRead& r = plan.rows[static_cast<size_t>(s.id)];
        throwShortRecord(plan, r.id, r.offset, s.got, r.element, file.size());
    };
    for (size_t i = 0; i < plan.rows.size(); ++i) {
        const RowRead& r = plan.rows[i];
        if (r.offset < 0) {  // its seek fails, even for no values, once the reads before it are done
            readQueued();
            throwOs(EINVAL);
        }
        if (bytes)
            g.add(r.offset, arrays.at<float>(r.array, r.element, plan.npt), static_cast<size_t>(bytes),
                  Gather::Kind::Data, static_cast<int64_t>(i));
        if (r.timeArray >= 0)
            g.add(advance(r.offset, bytes + kTimeAt), arrays.at<double>(static_cast<uint32_t>(r.timeArray), r.id, 1),
                  8, Gather::Kind::Double, 0);
    }
    readQueued();
    // Values arrive as the file stores them (little-endian).
    if constexpr (std::endian::native == std::endian::little) return;
    for (const RowRead& r : plan.rows) {
        if (n) fixFloat32Order(arrays.at<float>(r.array, r.element, plan.npt), n);
        if (r.timeArray >= 0)
            fixFloat64Order(arrays.at<double>(static_cast<uint32_t>(r.timeArray), r.id, 1), 1);
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

// Map coordinates, as the plan holds them.
void writeCoordinates(const Plan& plan, const Arrays& arrays) {
    const auto& values = plan.coordinateValues;
    for (const RegionPlan& r : plan.regions) {
        if (r.placed <= 0) continue;
        if (r.values < 0 || r.placed > (static_cast<int64_t>(values.size()) - r.values) / 2)
            throw std::logic_error("a region's coordinates lie outside the plan's");
        double* xs = arrays.at<double>(r.mapX, 0, r.placed);
        double* ys = arrays.at<double>(r.mapY, 0, r.placed);
        const double* v = values.data() + r.values;
        for (int64_t n = 0; n < r.placed; ++n, v += 2) {
            xs[n] = v[0];
            ys[n] = v[1];
        }
    }
}

// A point of a scatter: the column it takes, and where its values go.
struct Target {
    int64_t column;
    float* out;
};

// Whether targets t[0..n) take n consecutive columns, one each. Points may
// share a column (regions that share rows), so the span of the first and
// the last alone does not tell.
bool consecutive(const Target* t, ptrdiff_t n) noexcept {
    for (ptrdiff_t k = 1; k < n; ++k)
        if (t[k].column != t->column + k) return false;
    return true;
}

// Values [begin, begin + n) of targets [t, last) from the staging rows
// (stride floats apart, whose first value is that of column c0). Eight
// points of eight neighbouring columns take their values from one 32-byte
// load per row.
void scatterBatch(const Target* t, const Target* last, const float* staging, int64_t c0, size_t stride, size_t begin,
                  size_t n) {
    constexpr ptrdiff_t kWide = 8;
    while (t < last) {
        const float* in = staging + (t->column - c0);
        if (last - t >= kWide && consecutive(t, kWide)) {
            float* out[kWide];
            for (ptrdiff_t k = 0; k < kWide; ++k) out[k] = t[k].out + begin;
            for (size_t j = 0; j < n; ++j) {
                float v[kWide];
                std::memcpy(v, in + j * stride, sizeof v);
                for (ptrdiff_t k = 0; k < kWide; ++k) out[k][j] = v[k];
            }
            t += kWide;
            continue;
        }
        float* out = t->out + begin;
        for (size_t j = 0; j < n; ++j) out[j] = in[j * stride];
        ++t;
    }
}

class TraceReader {
public:
    TraceReader(const File& file, const Plan& plan, const Arrays& arrays, std::vector<std::string>& labels)
        : file_(file), plan_(plan), labels_(labels), npt_(plan.npt), n_(static_cast<size_t>(plan.npt)),
          count_(plan.traces.size()), bytes_(n_ * 4), staging_(static_cast<size_t>(std::max<int64_t>(plan.staging, 1))) {
        withLabel_ = plan.infoSize >= kLabelAt;
        labelLen_ = static_cast<size_t>(labelBytes(plan.infoSize, file.size()));
        // Every destination is checked once, before anything is read.
        if (plan.traceRows >= 0)
            rows_ = arrays.at<float>(static_cast<uint32_t>(plan.traceRows), 0, static_cast<int64_t>(count_) * npt_);
        // Points in the order of their columns, so that neighbouring points
        // take their values from the same cache lines of the staging area.
        targets_.reserve(plan.scatter.size());
        for (const Scatter& s : plan.scatter) {
            if (s.column < 0 || s.column >= npt_) throw std::logic_error("a point takes no column of the traces");
            targets_.push_back({s.column, arrays.at<float>(s.array, s.element, static_cast<int64_t>(count_))});
        }
        auto byColumn = [](const Target& a, const Target& b) { return a.column < b.column; };
        if (!std::is_sorted(targets_.begin(), targets_.end(), byColumn))
            std::stable_sort(targets_.begin(), targets_.end(), byColumn);
    }

    void read() {
        // Long traces spread over points are read a block of columns at a
        // time, all traces at once, so that every point's values are
        // written in one pass; the others a batch of whole traces at a time.
        const size_t columns = bytes_ ? staging_ / (4 * std::max<size_t>(count_, 1)) : 0;
        if (!rows_ && columns >= std::min<size_t>(256, n_)) readColumnBlocks(std::min(columns, n_));
        else readBatches();
    }

private:
    [[noreturn]] void shortTrace(int64_t id, size_t got) const { throwShortTrace(plan_, id, got); }

    void queueLabel(Gather& g, size_t i, PendingLabels& pending, size_t slot) const {
        g.add(advance(plan_.traces[i], static_cast<int64_t>(bytes_) + kLabelAt), pending.slot(slot), labelLen_,
              Gather::Kind::Bytes, 0, &pending.got[slot]);
    }

    // Batches of whole traces: into rows of an array, or into staging rows
    // a little longer than a trace (so that the same column of every row
    // falls into different cache sets) from which each point takes its
    // column. Values and labels of a batch come in one gather.
    void readBatches() {
        size_t batch = rows_ ? count_ : std::max<size_t>(1, std::min<size_t>(64, staging_ / std::max<size_t>(1, bytes_ + 64)));
        batch = std::max<size_t>(1, std::min(batch, kLabelArena / std::max<size_t>(1, labelLen_)));
        const size_t stride = n_ + 16;
        PageBuffer<float> staging(rows_ ? 0 : std::min(batch, count_) * stride);
        ReadFailures unused;
        PendingLabels pending;
        for (size_t begin = 0; begin < count_;) {
            size_t end = std::min(count_, begin + batch);
            // A trace before the file fails its seek once the traces before it are read.
            const auto first = std::find_if(plan_.traces.begin() + static_cast<ptrdiff_t>(begin),
                                            plan_.traces.begin() + static_cast<ptrdiff_t>(end),
                                            [](int64_t offset) { return offset < 0; });
            const bool before = first != plan_.traces.begin() + static_cast<ptrdiff_t>(end);
            end = static_cast<size_t>(first - plan_.traces.begin());
            Gather g(file_, unused);
            pending.prepare(withLabel_ ? end - begin : 0, labelLen_);
            for (size_t i = begin; i < end; ++i) {
                float* dst = rows_ ? rows_ + i * n_ : staging.data() + (i - begin) * stride;
                if (bytes_) g.add(plan_.traces[i], dst, bytes_, Gather::Kind::Data, static_cast<int64_t>(i));
                if (labelLen_) queueLabel(g, i, pending, i - begin);
            }
            if (!g.flush()) {
                const auto& s = g.shortPiece();
                if (withLabel_) pending.decodeInto(labels_, static_cast<size_t>(s.id) - begin);
                shortTrace(s.id, s.got);
            }
            if (withLabel_) pending.decodeInto(labels_, end - begin);
            if (rows_) {
                fixFloat32Order(rows_ + begin * n_, (end - begin) * n_);
            } else {
                for (size_t j = 0; j < end - begin; ++j) fixFloat32Order(staging.data() + j * stride, n_);
                scatterBatch(targets_.data(), targets_.data() + targets_.size(), staging.data(), 0, stride, begin,
                             end - begin);
            }
            begin = end;
            if (before) throwOs(EINVAL);
        }
    }

    // Blocks of `columns` values of every trace. The first trace that
    // stops the read (one the file cuts short, or one at a negative offset)
    // is known before anything is read: the labels before it are read, then
    // it fails as it would in a read of one trace after the other.
    void readColumnBlocks(size_t columns) {
        size_t good = 0;
        while (good < count_ && plan_.traces[good] >= 0 &&
               (!bytes_ || plan_.traces[good] <= file_.size() - static_cast<int64_t>(bytes_)))
            ++good;
        readLabels(good);
        if (good < count_ && plan_.traces[good] < 0) throwOs(EINVAL);
        if (good < count_) {
            const int64_t left = file_.size() - plan_.traces[good];
            shortTrace(static_cast<int64_t>(good), static_cast<size_t>(std::clamp<int64_t>(left, 0, static_cast<int64_t>(bytes_))));
        }
        const size_t stride = columns + 16;
        PageBuffer<float> staging(count_ * stride);
        ReadFailures unused;
        const Target* t = targets_.data();
        const Target* const last = t + targets_.size();
        for (size_t c0 = 0; c0 < n_; c0 += columns) {
            const size_t width = std::min(columns, n_ - c0);
            // Pieces of different traces lie far apart: no holes are read.
            Gather g(file_, unused, 0);
            for (size_t i = 0; i < count_; ++i)
                g.add(advance(plan_.traces[i], static_cast<int64_t>(4 * c0)), staging.data() + i * stride, 4 * width,
                      Gather::Kind::Data, static_cast<int64_t>(i));
            if (!g.flush()) {  // the file changed while it was read
                const auto& s = g.shortPiece();
                shortTrace(s.id, 4 * c0 + s.got);
            }
            for (size_t i = 0; i < count_; ++i) fixFloat32Order(staging.data() + i * stride, width);
            const Target* blockEnd = t;
            while (blockEnd < last && blockEnd->column < static_cast<int64_t>(c0 + width)) ++blockEnd;
            scatterBatch(t, blockEnd, staging.data(), static_cast<int64_t>(c0), stride, 0, count_);
            t = blockEnd;
        }
    }

    void readLabels(size_t count) {
        if (!withLabel_) return;
        const size_t batch = std::max<size_t>(1, kLabelArena / std::max<size_t>(1, labelLen_));
        ReadFailures unused;
        PendingLabels pending;
        for (size_t begin = 0; begin < count; begin += batch) {
            const size_t end = std::min(count, begin + batch);
            Gather g(file_, unused, 0);
            pending.prepare(end - begin, labelLen_);
            if (labelLen_)
                for (size_t i = begin; i < end; ++i) queueLabel(g, i, pending, i - begin);
            g.flush();
            pending.decodeInto(labels_, end - begin);
        }
    }

    const File& file_;
    const Plan& plan_;
    std::vector<std::string>& labels_;
    const int64_t npt_;
    const size_t n_, count_, bytes_, staging_;
    bool withLabel_ = false;  // labels follow 152 bytes behind the values
    size_t labelLen_ = 0;
    float* rows_ = nullptr;
    PageVector<Target> targets_;
};

}  // namespace

void execute(const File& file, const Plan& plan, std::span<const std::span<unsigned char>> spans,
             std::vector<std::string>& labels, ReadFailures& failures) {
    if (plan.npt < 0) throw std::logic_error("a plan with a negative number of values");
    Arrays arrays(plan, spans);
    writeCoordinates(plan, arrays);
    if (!plan.traces.empty()) TraceReader(file, plan, arrays, labels).read();
    if (!plan.rows.empty()) readRows(file, plan, arrays, failures);
    pickValues(plan, arrays);
    if (plan.failure) throw *plan.failure;
}

}  // namespace ixar
