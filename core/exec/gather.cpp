#include "gather.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

namespace ixar {

namespace {
// Holes up to this size between two pieces are read into a scratch buffer
// rather than costing another system call.
constexpr size_t kMaxHole = 64 * 1024;
// Reading from a descriptor, a call costs about what copying this many bytes
// from the page cache does: holes up to it are read whatever the caller
// allows (a callback source may be remote, where bytes cost; from memory a
// call costs nothing).
constexpr size_t kDescriptorHole = 4 * 1024;
// Pieces queued before they are read without waiting for flush().
constexpr size_t kMaxQueued = 4096;
// Bytes one call may ask for; a single larger piece still goes alone.
constexpr size_t kMaxRun = size_t{1} << 30;
// Runs whose pieces average less than this go through the staging buffer
// (the bytes between them too).
constexpr size_t kSmallPiece = 2048;
// Staging buffer: small enough to stay in cache between the read and the copies.
constexpr size_t kStage = 256 * 1024;
}  // namespace

namespace {
// End of a piece's file range, or -1 when no file could hold it.
int64_t pieceEnd(int64_t offset, size_t len) noexcept {
    if (offset < 0 || len > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - offset)) return -1;
    return offset + static_cast<int64_t>(len);
}
}  // namespace

Gather::Gather(const File& file, ReadFailures& failures, size_t maxHole)
    : file_(file), failures_(failures),
      maxHole_(std::min(file.fd() >= 0 ? std::max(maxHole, kDescriptorHole) : maxHole, kMaxHole)) {}

size_t Gather::readDirect(size_t begin, size_t& last, int64_t start) {
    iovs_.clear();
    int64_t end = start;
    for (size_t i = begin; i < last; ++i) {
        const Piece& p = pieces_[i];
        const size_t hole = i > begin ? static_cast<size_t>(p.offset - end) : 0;
        if (i > begin && iovs_.size() + (hole ? 2 : 1) > static_cast<size_t>(platform::kMaxBuffers)) {
            last = i;
            break;
        }
        if (hole) {
            if (hole_.size() < kMaxHole) hole_.resize(kMaxHole);
            iovs_.push_back({hole_.data(), hole});
        }
        iovs_.push_back({p.dst, p.len});
        end = pieceEnd(p.offset, p.len);
    }
    // One buffer: the plain call, which need not copy in a vector.
    if (iovs_.size() == 1) return file_.readAt(start, iovs_[0].data, iovs_[0].size);
    return file_.readvAt(start, iovs_.data(), static_cast<int>(iovs_.size()));
}

size_t Gather::readStaged(size_t begin, size_t last, int64_t start, int64_t end) {
    unsigned char* stage = stage_.ensure(kStage);
    size_t got = 0;
    size_t first = begin;  // first piece not yet complete
    for (int64_t pos = start; pos < end;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(end - pos, static_cast<int64_t>(kStage)));
        const size_t n = file_.readAt(pos, stage, want);
        const int64_t until = pos + static_cast<int64_t>(n);
        for (size_t i = first; i < last; ++i) {
            const Piece& p = pieces_[i];
            if (p.offset >= until) break;
            const int64_t pe = p.offset + static_cast<int64_t>(p.len);
            const int64_t a = std::max(p.offset, pos), b = std::min(pe, until);
            if (b > a)
                std::memcpy(static_cast<unsigned char*>(p.dst) + (a - p.offset), stage + (a - pos),
                            static_cast<size_t>(b - a));
            if (pe <= until) first = i + 1;
        }
        got += n;
        pos = until;
        if (n < want) break;  // end of file
    }
    return got;
}

void Gather::add(int64_t offset, void* dst, size_t len, Kind kind, int64_t id, size_t* got) {
    pieces_.push_back({offset, dst, len, kind, id, got});
    if (pieces_.size() >= kMaxQueued) readQueued();
}

bool Gather::flush() {
    readQueued();
    return !failed_;
}

void Gather::readQueued() {
    size_t i = 0;
    while (!failed_ && i < pieces_.size()) i = readRun(i);
    pieces_.clear();
}


size_t Gather::readRun(size_t begin) {
    // The run: pieces that follow one another, each at or a little after the
    // end of the one before.
    const int64_t start = pieces_[begin].offset;
    int64_t end = pieceEnd(start, pieces_[begin].len);
    size_t last = begin + 1;
    uint64_t bytes = pieces_[begin].len;
    while (end >= 0 && last < pieces_.size()) {
        const Piece& p = pieces_[last];
        const int64_t next = pieceEnd(p.offset, p.len);
        if (next < 0 || p.offset < end || static_cast<uint64_t>(p.offset - end) > maxHole_ ||
            static_cast<uint64_t>(next - start) > kMaxRun)
            break;
        end = next;
        bytes += p.len;
        ++last;
    }
    // Many small pieces (short spectra with info records between them, or
    // a few values of every record with the rest of the record between
    // them) cost the kernel more per piece than per byte: read their range
    // through a small buffer instead and copy the pieces out.
    const size_t count = last - begin;
    const bool staged = end >= 0 && count >= 4 && bytes / count < kSmallPiece;
    const size_t got = staged ? readStaged(begin, last, start, end) : readDirect(begin, last, start);

    // Hand each piece the bytes that arrived for it.
    for (size_t i = begin; i < last; ++i) {
        const Piece& p = pieces_[i];
        const uint64_t rel = static_cast<uint64_t>(p.offset - start);
        const size_t arrived = got > rel ? std::min(p.len, static_cast<size_t>(got - rel)) : 0;
        switch (p.kind) {
            case Kind::Data:
                if (arrived < p.len) {
                    failed_ = true;
                    short_ = {p.id, arrived};
                    return pieces_.size();
                }
                break;
            case Kind::Double:
                if (arrived < p.len) {
                    failures_.push_back({Primitive::Double, static_cast<int>(arrived), p.offset});
                    *static_cast<double*>(p.dst) = 0.0;
                }
                break;
            case Kind::Bytes:
                if (p.got) *p.got = arrived;
                break;
        }
    }
    return last;
}

}  // namespace ixar
