#include "bulk.hpp"

#include <algorithm>
#include <limits>

#include "../container/text.hpp"
#include "gather.hpp"

namespace ixar {

namespace {

// Bytes behind a record's values where its info fields start.
constexpr int64_t kTimeAt = 136;
constexpr int64_t kLabelAt = 152;
// Label bytes buffered between two flushes.
constexpr size_t kLabelArena = 1 << 20;

// Positions walk forward through the file; once one passes any possible
// file size it stays there, and reads from it find nothing.
int64_t advance(int64_t pos, int64_t by) noexcept {
    constexpr int64_t kFar = std::numeric_limits<int64_t>::max() / 4;
    if (by > kFar || pos > kFar - by) return kFar;
    return pos + by;
}

// Bytes read for a label: the rest of the info record, but never more than
// the file could deliver (the size comes from the file).
size_t labelLength(const File& file, int32_t infoSize) noexcept {
    if (infoSize < kLabelAt) return 0;
    return static_cast<size_t>(std::min<int64_t>(infoSize - kLabelAt, file.size()));
}

std::string blockAt(int64_t offsetToData) { return "3D data block at " + at(offsetToData); }

[[noreturn]] void cutShort(const std::string& what, int64_t n, int64_t offset, size_t gotBytes, int64_t npt) {
    throwValue(what + ": " + (n >= 0 ? "spectrum " + std::to_string(n) + " at " : std::string("data at ")) +
               at(offset) + " holds " + std::to_string(gotBytes / 4) + " of its " + std::to_string(npt) +
               " values before the end of the file");
}

// Labels of one batch of records: their bytes arrive in an arena sized
// before any read is queued (the reads keep pointers into it), and are
// decoded once the batch is read.
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
    // The first count labels go out cut at their first NUL, in order.
    void decodeInto(std::vector<std::string>& labels, size_t count) const {
        for (size_t i = 0; i < count && i < got.size(); ++i)
            labels.push_back(requireAscii(cutAtNul(std::string_view(arena.data() + i * len, got[i]))));
    }
};

}  // namespace

void readSpectrum(const File& file, int64_t offsetToData, int64_t npt, float* out) {
    if (npt <= 0) return;
    const size_t want = static_cast<size_t>(npt) * 4;
    size_t got = file.readAt(offsetToData, out, want);
    if (got < want)
        throwValue("2D data block at " + at(offsetToData) + " holds " + std::to_string(got / 4) + " of its " +
                   std::to_string(npt) + " values before the end of the file");
    fixFloat32Order(out, static_cast<size_t>(npt));
}

ImageStop fillImageCube(const File& file, const StoreTable& table, int64_t offsetToData, int64_t npt, int64_t npx,
                        int64_t npy, float* cube) {
    ReadFailures unused;
    Gather g(file, unused);
    const std::string what = blockAt(offsetToData);
    const size_t bytes = static_cast<size_t>(npt) * 4;
    std::vector<int64_t> offsets;  // of each spectrum, for messages
    auto finish = [&]() {
        if (!g.flush()) {
            const auto& s = g.shortPiece();
            cutShort(what, s.id, offsets[static_cast<size_t>(s.id)], s.got, npt);
        }
    };

    int64_t pos = table.blockOffset;
    int64_t index = 0;
    for (const StoreEntry& e : table.entries) {
        if (e.first == -1) {
            if (e.second < 0) {
                finish();
                throwValue(what + ": a gap entry of " + std::to_string(e.second) + " bytes");
            }
            pos = advance(pos, e.second);
            continue;
        }
        for (int64_t n = e.first; n <= e.second; ++n, ++index) {
            if (npx == 0) {
                finish();
                return {ImageStop::Kind::ZeroDivision, index, 0};
            }
            const int64_t row = index / npx, col = index % npx;
            if (row >= npy) {
                finish();
                return {ImageStop::Kind::Index, index, row};
            }
            offsets.push_back(pos);
            if (bytes) g.add(pos, cube + (row * npx + col) * npt, bytes, Gather::Kind::Data, index);
            pos = advance(pos, static_cast<int64_t>(bytes));
            if (table.infoSize < 0) {
                finish();
                throwValue(what + ": info records of " + std::to_string(table.infoSize) + " bytes");
            }
            pos = advance(pos, table.infoSize);
        }
    }
    finish();
    fixFloat32Order(cube, static_cast<size_t>(npy * npx * npt));
    return {};
}

void readRecords(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                 float* rows, double* times, ReadFailures& failures) {
    Gather g(file, failures);
    const size_t bytes = static_cast<size_t>(npt) * 4;
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (bytes) g.add(offsets[i], rows + i * static_cast<size_t>(npt), bytes, Gather::Kind::Data, static_cast<int64_t>(i));
        if (times) g.add(advance(offsets[i], static_cast<int64_t>(bytes) + kTimeAt), times + i, 8, Gather::Kind::Double, 0);
    }
    if (!g.flush()) {
        const auto& s = g.shortPiece();
        cutShort(blockAt(offsetToData), s.id, offsets[static_cast<size_t>(s.id)], s.got, npt);
    }
    fixFloat32Order(rows, offsets.size() * static_cast<size_t>(npt));
    if (times) fixFloat64Order(times, offsets.size());
}

namespace {

// Reads traces in batches of at most `batch`: the values of trace i, the
// slot-th of its batch, go to where(i, slot), its label (from byte 152 of
// the info record) to labels, and done(begin, end) runs once a batch has
// arrived whole. A trace cut short ends the reading after the labels of the
// traces before it: an error, or with stop given, a stop recorded there.
template <class Where, class Done>
void readTraceBatches(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                      int32_t infoSize, size_t batch, std::vector<std::string>& labels, Where where, Done done,
                      TraceStop* stop = nullptr) {
    ReadFailures unused;
    const size_t bytes = static_cast<size_t>(npt) * 4;
    const bool withLabel = infoSize >= kLabelAt;
    const size_t labelLen = labelLength(file, infoSize);
    // As many labels to a batch as the arena allows, and at least one.
    batch = std::max<size_t>(1, std::min(batch, kLabelArena / std::max<size_t>(1, labelLen)));
    PendingLabels pending;
    for (size_t begin = 0; begin < offsets.size();) {
        const size_t end = std::min(offsets.size(), begin + batch);
        Gather g(file, unused);
        pending.prepare(withLabel ? end - begin : 0, labelLen);
        for (size_t i = begin; i < end; ++i) {
            if (bytes) g.add(offsets[i], where(i, i - begin), bytes, Gather::Kind::Data, static_cast<int64_t>(i));
            if (withLabel && labelLen)
                g.add(advance(offsets[i], static_cast<int64_t>(bytes) + kLabelAt), pending.slot(i - begin), labelLen,
                      Gather::Kind::Bytes, 0, &pending.got[i - begin]);
        }
        if (!g.flush()) {
            const auto& s = g.shortPiece();
            if (withLabel) pending.decodeInto(labels, static_cast<size_t>(s.id) - begin);
            if (!stop) cutShort(blockAt(offsetToData), s.id, offsets[static_cast<size_t>(s.id)], s.got, npt);
            *stop = {true, s.id, static_cast<int64_t>(s.got / 4)};
            return;
        }
        if (withLabel) pending.decodeInto(labels, end - begin);
        done(begin, end);
        begin = end;
    }
}

}  // namespace

void readTraces(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                int32_t infoSize, float* rows, std::vector<std::string>& labels) {
    readTraceBatches(
        file, offsetToData, offsets, npt, infoSize, offsets.size(), labels,
        [&](size_t i, size_t) { return rows + i * static_cast<size_t>(npt); },
        [&](size_t begin, size_t end) {
            fixFloat32Order(rows + begin * static_cast<size_t>(npt), (end - begin) * static_cast<size_t>(npt));
        });
}

void readTracesScattered(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                         int32_t infoSize, const std::vector<TraceTarget>& targets, std::vector<std::string>& labels,
                         TraceStop* stop) {
    // A batch of traces at a time in a staging area of at most 8 MiB; each
    // point then takes its column of every staged trace, so its output row
    // is written in long runs.
    const size_t n = static_cast<size_t>(npt);
    const size_t batch = std::max<size_t>(1, std::min<size_t>(64, (size_t{8} << 20) / std::max<size_t>(1, 4 * n)));
    // Rows a little longer than a trace, so that the same column of every
    // staged row does not fall into the same cache set.
    const size_t stride = n + 16;
    std::vector<float> staging(std::min(batch, offsets.size()) * stride);
    readTraceBatches(
        file, offsetToData, offsets, npt, infoSize, batch, labels,
        [&](size_t, size_t slot) { return staging.data() + slot * stride; },
        [&](size_t begin, size_t end) {
            for (size_t j = 0; j < end - begin; ++j) fixFloat32Order(staging.data() + j * stride, n);
            for (const TraceTarget& t : targets) {
                float* out = t.row + begin;
                const float* in = staging.data() + t.column;
                for (size_t j = 0; j < end - begin; ++j) out[j] = in[j * stride];
            }
        },
        stop);
}

TraceStop fillImageTraces(const File& file, const StoreTable& table, int64_t offsetToData, int64_t npt, int64_t npx,
                          int64_t npy, float* out, std::vector<std::string>& labels) {
    // The records lie in sequence from blockOffset, gaps skipped. A negative
    // length ends the walk; it is reported once the records before it are read.
    const int64_t bytes = npt * 4;
    std::vector<int64_t> offsets;
    std::string badLength;
    int64_t pos = table.blockOffset;
    for (const StoreEntry& e : table.entries) {
        if (e.first == -1) {
            if (e.second < 0) {
                badLength = "a gap entry of " + std::to_string(e.second) + " bytes";
                break;
            }
            pos = advance(pos, e.second);
            continue;
        }
        for (int64_t n = e.first; n <= e.second && badLength.empty(); ++n) {
            offsets.push_back(pos);
            if (table.infoSize < 0) badLength = "info records of " + std::to_string(table.infoSize) + " bytes";
            pos = advance(advance(pos, bytes), table.infoSize);
        }
        if (!badLength.empty()) break;
    }

    TraceStop stop;
    const int64_t cells = npx * npy;
    if (npt != cells) {
        // No trace can fill a map: the first one read stops it (its label
        // is not read).
        if (!offsets.empty()) {
            std::vector<float> first(static_cast<size_t>(npt));
            std::vector<std::string> none;
            readTraceBatches(
                file, offsetToData, {offsets.front()}, npt, 0, 1, none,
                [&](size_t, size_t) { return first.data(); }, [](size_t, size_t) {}, &stop);
            if (!stop.stopped) stop = {true, 0, npt};
            return stop;
        }
    } else {
        // Trace k of cell c lands at out[c * records + k].
        std::vector<TraceTarget> targets;
        targets.reserve(static_cast<size_t>(cells));
        for (int64_t c = 0; c < cells; ++c) targets.push_back({out + c * table.records, static_cast<size_t>(c)});
        readTracesScattered(file, offsetToData, offsets, npt, table.infoSize, targets, labels, &stop);
        if (stop.stopped) return stop;
    }
    if (!badLength.empty()) throwValue(blockAt(offsetToData) + ": " + badLength);
    return stop;
}

}  // namespace ixar
