#include "gather.hpp"

#include <climits>
#include <limits>
#include <sys/uio.h>

namespace ixar {

namespace {
// Holes up to this size between two pieces are read into a scratch buffer
// rather than costing another system call.
constexpr size_t kMaxHole = 64 * 1024;
// Pieces queued before they are read without waiting for flush().
constexpr size_t kMaxQueued = 4096;
// Bytes one call may ask for; a single larger piece still goes alone.
constexpr size_t kMaxRun = size_t{1} << 30;
#if defined(IOV_MAX) && IOV_MAX < 1024
constexpr size_t kMaxIov = IOV_MAX;
#else
constexpr size_t kMaxIov = 1024;
#endif
}  // namespace

Gather::Gather(const File& file, ReadFailures& failures) : file_(file), failures_(failures) {}

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
    iovs_.clear();
    const int64_t start = pieces_[begin].offset;
    int64_t end = start;  // file offset just past the run so far
    size_t total = 0;
    size_t last = begin;
    for (; last < pieces_.size(); ++last) {
        const Piece& p = pieces_[last];
        if (last > begin) {
            // Only pieces that follow at or a little after the run's end join it.
            if (end < 0 || p.offset < end || static_cast<uint64_t>(p.offset - end) > kMaxHole) break;
            size_t hole = static_cast<size_t>(p.offset - end);
            if (iovs_.size() + (hole ? 2 : 1) > kMaxIov || total + hole + p.len > kMaxRun) break;
            if (hole) {
                if (hole_.size() < hole) hole_.resize(kMaxHole);
                iovs_.push_back({hole_.data(), hole});
                total += hole;
                end = p.offset;
            }
        }
        iovs_.push_back({p.dst, p.len});
        total += p.len;
        if (p.len > static_cast<size_t>(std::numeric_limits<int64_t>::max() - end)) {
            ++last;
            break;  // a range that cannot lie in any file ends the run
        }
        end += static_cast<int64_t>(p.len);
    }

    size_t got = total == 0 ? 0 : file_.readvAt(start, iovs_.data(), static_cast<int>(iovs_.size()));

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
                    failures_.push_back({Primitive::Double, static_cast<int>(arrived)});
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
