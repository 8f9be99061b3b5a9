// Batched positioned reads: many small pieces of a file, read straight into
// their destinations with as few scatter reads as the layout allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "container/file.hpp"
#include "container/pages.hpp"

namespace ixar {

class Gather {
public:
    enum class Kind : uint8_t {
        Data,    // must arrive whole; a short one stops the gather (see shortPiece)
        Double,  // a readDouble: short yields 0.0 and a ReadFailure
        Bytes,   // may come up short at end of file; `got` receives the length
    };

    // Holes of at most maxHole bytes between pieces are read and dropped
    // rather than costing another call (at most 64 KiB); from a descriptor,
    // holes of a few KiB are, whatever maxHole says.
    Gather(const File& file, ReadFailures& failures, size_t maxHole = 64 * 1024);

    // Queues a piece. Pieces are read in the order queued; consecutive pieces
    // whose file ranges follow each other (small holes are read and dropped)
    // share one system call.
    void add(int64_t offset, void* dst, size_t len, Kind kind, int64_t id, size_t* got = nullptr);

    // Reads everything queued. Returns false when a Data piece came up short;
    // shortPiece() then tells which one and how much of it arrived, and the
    // pieces queued after it are not read.
    bool flush();

    struct Short {
        int64_t id;
        size_t got;
    };
    const Short& shortPiece() const noexcept { return short_; }

private:
    struct Piece {
        int64_t offset;
        void* dst;
        size_t len;
        Kind kind;
        int64_t id;
        size_t* got;
    };

    void readQueued();
    size_t readRun(size_t begin);
    size_t readDirect(size_t begin, size_t& last, int64_t start);
    size_t readStaged(size_t begin, size_t last, int64_t start, int64_t end);

    const File& file_;
    ReadFailures& failures_;
    PageVector<Piece> pieces_;
    std::vector<platform::Buffer> iovs_;
    std::vector<unsigned char> hole_;
    PageBuffer<unsigned char> stage_;
    size_t maxHole_;
    bool failed_ = false;
    Short short_{-1, 0};
};

}  // namespace ixar
