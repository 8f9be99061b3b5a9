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

std::string blockAt(int64_t offsetToData) { return "3D data block at " + at(offsetToData); }

[[noreturn]] void cutShort(const std::string& what, int64_t n, int64_t offset, size_t gotBytes, int64_t npt) {
    throwValue(what + ": " + (n >= 0 ? "spectrum " + std::to_string(n) + " at " : std::string("data at ")) +
               at(offset) + " holds " + std::to_string(gotBytes / 4) + " of its " + std::to_string(npt) +
               " values before the end of the file");
}

// Labels read in one batch, decoded once their bytes have arrived.
struct PendingLabels {
    std::string arena;
    struct Item {
        size_t at, len, got;
    };
    std::vector<Item> items;

    char* reserve(size_t len) {
        items.push_back({arena.size(), len, 0});
        arena.resize(arena.size() + len);
        return arena.data() + items.back().at;
    }
    size_t* lastGot() { return &items.back().got; }
    // Every pending label goes out cut at its first NUL, in order.
    void decodeInto(std::vector<std::string>& labels, size_t count) {
        for (size_t i = 0; i < count && i < items.size(); ++i)
            labels.push_back(requireAscii(cutAtNul(std::string_view(arena.data() + items[i].at, items[i].got))));
        items.clear();
        arena.clear();
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

TraceStop fillImageTraces(const File& file, const StoreTable& table, int64_t offsetToData, int64_t npt, int64_t npx,
                          int64_t npy, float* out, std::vector<std::string>& labels) {
    ReadFailures unused;
    const std::string what = blockAt(offsetToData);
    const int64_t cells = npx * npy;
    const size_t bytes = static_cast<size_t>(npt) * 4;
    const int64_t traces = table.records;
    const bool withLabel = table.infoSize >= kLabelAt;
    const size_t labelLen = withLabel ? static_cast<size_t>(table.infoSize - kLabelAt) : 0;

    // Traces arrive in chunks into a staging area and are then spread over
    // the third axis of the output.
    const int64_t chunk = std::max<int64_t>(1, (int64_t{4} << 20) / std::max<int64_t>(1, npt * 4));
    std::vector<float> staging(static_cast<size_t>(std::min(chunk, std::max<int64_t>(traces, 1)) * npt));
    std::vector<size_t> got(static_cast<size_t>(std::min(chunk, std::max<int64_t>(traces, 1))));
    PendingLabels pending;

    int64_t pos = table.blockOffset;
    int64_t chunkStart = 0;  // first trace of the staging area
    TraceStop stop;

    // Reads the queued chunk, checks every trace in order, then spreads the
    // complete ones into the output.
    std::vector<std::pair<int64_t, int64_t>> queued;  // (offset of data, offset of label or -1)
    auto runChunk = [&]() -> bool {
        Gather g(file, unused);
        pending.items.clear();
        pending.arena.clear();
        for (size_t j = 0; j < queued.size(); ++j) {
            got[j] = 0;
            if (bytes) g.add(queued[j].first, staging.data() + j * static_cast<size_t>(npt), bytes, Gather::Kind::Bytes, 0, &got[j]);
            if (withLabel) {
                char* dst = pending.reserve(labelLen);
                if (labelLen) g.add(queued[j].second, dst, labelLen, Gather::Kind::Bytes, 0, pending.lastGot());
            }
        }
        g.flush();
        for (size_t j = 0; j < queued.size(); ++j) {
            // A trace must fill one map exactly.
            if (npt != cells || got[j] < bytes) {
                stop = {true, chunkStart + static_cast<int64_t>(j), static_cast<int64_t>(bytes ? got[j] / 4 : 0)};
                if (withLabel) pending.decodeInto(labels, j);
                return false;
            }
        }
        if (withLabel) pending.decodeInto(labels, queued.size());
        fixFloat32Order(staging.data(), queued.size() * static_cast<size_t>(npt));
        for (int64_t c = 0; c < cells; ++c) {
            float* dst = out + c * traces + chunkStart;
            for (size_t j = 0; j < queued.size(); ++j) dst[j] = staging[j * static_cast<size_t>(npt) + static_cast<size_t>(c)];
        }
        chunkStart += static_cast<int64_t>(queued.size());
        queued.clear();
        return true;
    };

    for (const StoreEntry& e : table.entries) {
        if (e.first == -1) {
            if (e.second < 0) {
                if (!runChunk()) return stop;
                throwValue(what + ": a gap entry of " + std::to_string(e.second) + " bytes");
            }
            pos = advance(pos, e.second);
            continue;
        }
        for (int64_t n = e.first; n <= e.second; ++n) {
            const int64_t dataAt = pos;
            pos = advance(pos, static_cast<int64_t>(bytes));
            queued.emplace_back(dataAt, withLabel ? advance(pos, kLabelAt) : -1);
            if (table.infoSize < 0) {
                if (!runChunk()) return stop;
                throwValue(what + ": info records of " + std::to_string(table.infoSize) + " bytes");
            }
            pos = advance(pos, table.infoSize);
            if (static_cast<int64_t>(queued.size()) == chunk && !runChunk()) return stop;
        }
    }
    if (!queued.empty() && !runChunk()) return stop;
    return stop;
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

void readTraces(const File& file, int64_t offsetToData, const std::vector<int64_t>& offsets, int64_t npt,
                int32_t infoSize, float* rows, std::vector<std::string>& labels) {
    ReadFailures unused;
    const std::string what = blockAt(offsetToData);
    const size_t bytes = static_cast<size_t>(npt) * 4;
    const bool withLabel = infoSize >= kLabelAt;
    const size_t labelLen = withLabel ? static_cast<size_t>(infoSize - kLabelAt) : 0;
    PendingLabels pending;

    size_t begin = 0;  // first trace of the batch
    while (begin < offsets.size()) {
        Gather g(file, unused);
        size_t end = begin;
        // A batch holds as many labels as the arena allows (at least one).
        while (end < offsets.size() && (end == begin || pending.arena.size() + labelLen <= kLabelArena)) {
            if (bytes) g.add(offsets[end], rows + end * static_cast<size_t>(npt), bytes, Gather::Kind::Data, static_cast<int64_t>(end));
            if (withLabel) {
                char* dst = pending.reserve(labelLen);
                if (labelLen)
                    g.add(advance(offsets[end], static_cast<int64_t>(bytes) + kLabelAt), dst, labelLen,
                          Gather::Kind::Bytes, 0, pending.lastGot());
            }
            ++end;
        }
        if (!g.flush()) {
            const auto& s = g.shortPiece();
            // Labels of the traces before the short one come first.
            if (withLabel) pending.decodeInto(labels, static_cast<size_t>(s.id) - begin);
            cutShort(what, s.id, offsets[static_cast<size_t>(s.id)], s.got, npt);
        }
        if (withLabel) pending.decodeInto(labels, end - begin);
        begin = end;
    }
    fixFloat32Order(rows, offsets.size() * static_cast<size_t>(npt));
}

}  // namespace ixar
