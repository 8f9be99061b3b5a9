// The header and store table of a 3D data block, and the records it names.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "file.hpp"
#include "pages.hpp"

namespace ixar {

// Where a record's info fields lie, counted from the end of its values: the
// time value (a float64) and a trace's label (to the end of the info record).
inline constexpr int64_t kTimeAt = 136;
inline constexpr int64_t kLabelAt = 152;

// Positions walk through the file by numbers the file gives; one that
// leaves any possible file stays out there (reads from it find nothing),
// and none overflows.
constexpr int64_t advance(int64_t pos, int64_t by) noexcept {
    constexpr int64_t kFar = INT64_MAX / 4;
    if (by > kFar || pos > kFar - by) return kFar;
    if (by < -kFar || pos < -kFar - by) return -kFar;
    return pos + by;
}

struct StoreEntry {
    int32_t first;   // first spectrum index of a run, or -1 for a gap
    int32_t second;  // last index of the run (inclusive), or the gap's length in bytes
};

struct StoreTable {
    std::vector<StoreEntry> entries;
    int64_t blockOffset = 0;  // absolute offset of the first spectrum record
    int32_t blockSize = 0;    // data bytes of one record
    int32_t infoSize = 0;     // info bytes that follow the data of every record
    int64_t records = 0;      // records that the runs name, repeats included
};

// Reads the header and table at offsetToData, then checks that the records
// the table names fit in the file (a negative blockOffset is EINVAL, as a
// seek to it would be).
StoreTable readStoreTable(const File& file, int64_t offsetToData, ReadFailures& failures);

// The info record size alone (the header up to its fifth field).
int32_t readInfoSize(const File& file, int64_t offsetToData, ReadFailures& failures);

// The records of a table in table order: where each one's values start and
// the spectrum index its run gives it. This is the one walk over the table
// that every family uses.
struct Records {
    PageVector<int64_t> offset;
    PageVector<int32_t> index;
    // Strict walks (image maps, read in sequence from blockOffset) end at a
    // negative gap or record length; the records before it are kept and
    // this says what ended the walk.
    std::optional<Error> end;
};

// stride: bytes from one record's start to the next. Non-strict walks take
// every number as it is (the offsets of a time series or an offset map).
Records walkRecords(const StoreTable& table, int64_t offsetToData, int64_t stride, bool strict);

// Spectrum index -> position + 1 (0: none), by open addressing: 8 bytes a
// slot, at most half of the slots taken.
class IndexTable {
public:
    void reserve(size_t entries);
    // The value of key, inserted as 0 when absent; reserve() first.
    uint32_t& operator[](int32_t key);
    uint32_t find(int32_t key) const noexcept;

private:
    size_t slotOf(int32_t key) const noexcept;
    PageVector<int32_t> keys_;
    PageVector<uint32_t> values_;  // 0: a free slot
    size_t mask_ = 0;
};

// Spectrum index -> offset of its data, in the order the table first names
// each index; an index named twice keeps its first place and takes the later
// offset. Lookups take constant time whatever the numbering.
struct OffsetMap {
    PageVector<int32_t> index;
    PageVector<int64_t> offset;
    size_t size() const noexcept { return index.size(); }
    // Position of an index in the map, or -1.
    int64_t find(int64_t spectrumIndex) const;

    PageVector<uint32_t> dense;  // index - denseBase -> position + 1, when the numbering is compact
    int64_t denseBase = 0;
    IndexTable sparse;            // otherwise
};

OffsetMap buildOffsetMap(const StoreTable& table, int64_t offsetToData);

}  // namespace ixar
