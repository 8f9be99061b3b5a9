// The header and store table of a 3D data block, and the offsets of its spectra.
#pragma once

#include <cstdint>
#include <vector>

#include "file.hpp"

namespace ixar {

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
// the table names fit in the file.
StoreTable readStoreTable(const File& file, int64_t offsetToData, ReadFailures& failures);

// The info record size alone (the header up to its fifth field).
int32_t readInfoSize(const File& file, int64_t offsetToData, ReadFailures& failures);

// Spectrum index -> absolute offset of its data, in the order the table first
// names each index. An index named twice keeps its first place and takes the
// later offset.
struct OffsetMap {
    std::vector<int32_t> index;
    std::vector<int64_t> offset;
    size_t size() const noexcept { return index.size(); }
    // Position of an index in the map, or -1.
    int64_t find(int64_t spectrumIndex) const;

    std::vector<int64_t> lookupTable;  // dense index -> position + 1, when indices are small
    int64_t lookupBase = 0;
};

OffsetMap buildOffsetMap(const StoreTable& table);

}  // namespace ixar
