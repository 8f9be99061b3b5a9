// 3D data block, offsets from the block start:
//   0  int32  version (unused)
//   4  int32  storedBlocks (unused)
//   8  int32  blockOffset: first spectrum record, relative to the block
//  12  int32  blockSize: data bytes of a record
//  16  int32  infoSize: info bytes behind the data of every record
//  20  int32  numberEntries
//  24  numberEntries x (int32 first, int32 second)
// Records lie back to back from blockOffset in table order. A run [first,
// last] names one record per index; [-1, n] is n bytes that belong to no
// spectrum; a run with last < first names nothing.
#include "store3d.hpp"

#include <algorithm>
#include <unordered_map>

namespace ixar {

namespace {

int64_t runLength(const StoreEntry& e) noexcept {
    return e.first == -1 ? 0 : std::max<int64_t>(0, int64_t{e.second} - e.first + 1);
}

}  // namespace

StoreTable readStoreTable(const File& file, int64_t offsetToData, ReadFailures& failures) {
    Reader r(file, failures);
    r.seek(offsetToData);
    r.readInt();  // version
    r.readInt();  // storedBlocks
    StoreTable t;
    t.blockOffset = int64_t{r.readInt()} + offsetToData;
    t.blockSize = r.readInt();
    t.infoSize = r.readInt();
    int32_t numberEntries = r.readInt();
    if (numberEntries <= 0) return t;

    // The count is untrusted: the whole table must lie inside the file before
    // anything is allocated for it.
    int64_t tableEnd = offsetToData + 24 + 8 * int64_t{numberEntries};
    if (tableEnd > file.size())
        throwValue("3D data block at " + at(offsetToData) + ": its store table of " + std::to_string(numberEntries) +
                   " entries reaches past the end of the file");
    std::vector<unsigned char> raw(8 * static_cast<size_t>(numberEntries));
    if (r.read(raw.data(), raw.size()) < raw.size())
        throwValue("3D data block at " + at(offsetToData) + ": the file ends inside its store table");
    t.entries.resize(static_cast<size_t>(numberEntries));
    for (size_t i = 0; i < t.entries.size(); ++i) {
        t.entries[i].first = static_cast<int32_t>(loadLE32(&raw[8 * i]));
        t.entries[i].second = static_cast<int32_t>(loadLE32(&raw[8 * i + 4]));
        t.records += runLength(t.entries[i]);  // at most 2^32 per entry: no overflow
    }

    // Records are what later steps allocate and loop over, so the file must
    // be able to hold them all.
    if (t.records > 0) {
        const int64_t total = int64_t{t.blockSize} + t.infoSize;
        const std::string where = "3D data block at " + at(offsetToData) + ": ";
        if (t.blockOffset < 0) throwValue(where + "its first record lies before the start of the file");
        if (total <= 0 && t.records > 1)
            throwValue(where + "records of " + std::to_string(total) + " bytes cannot hold " +
                       std::to_string(t.records) + " spectra");
        if (total > 0) {
            int64_t room = file.size() - t.blockOffset;
            if (room < 0 || t.records > room / total || t.records * total > room)
                throwValue(where + "its store table names " + std::to_string(t.records) + " records of " +
                           std::to_string(total) + " bytes, more than the file holds");
        }
    }
    return t;
}

int32_t readInfoSize(const File& file, int64_t offsetToData, ReadFailures& failures) {
    Reader r(file, failures);
    r.seek(offsetToData);
    for (int i = 0; i < 4; ++i) r.readInt();
    return r.readInt();
}

OffsetMap buildOffsetMap(const StoreTable& table) {
    OffsetMap map;
    const int64_t total = int64_t{table.blockSize} + table.infoSize;
    map.index.reserve(static_cast<size_t>(table.records));
    map.offset.reserve(static_cast<size_t>(table.records));

    // Runs that never overlap (the usual case) need no de-duplication.
    std::vector<std::pair<int32_t, int32_t>> runs;
    for (const StoreEntry& e : table.entries)
        if (runLength(e) > 0) runs.emplace_back(e.first, e.second);
    std::sort(runs.begin(), runs.end());
    bool overlapping = false;
    for (size_t i = 1; i < runs.size() && !overlapping; ++i) overlapping = runs[i].first <= runs[i - 1].second;

    std::unordered_map<int32_t, size_t> seen;
    int64_t offset = table.blockOffset;
    for (const StoreEntry& e : table.entries) {
        if (e.first == -1) {
            offset += e.second;
            continue;
        }
        for (int64_t n = e.first; n <= e.second; ++n) {
            auto idx = static_cast<int32_t>(n);
            if (overlapping) {
                auto [it, fresh] = seen.emplace(idx, map.index.size());
                if (!fresh) {
                    map.offset[it->second] = offset;
                    offset += total;
                    continue;
                }
            }
            map.index.push_back(idx);
            map.offset.push_back(offset);
            offset += total;
        }
    }

    // Lookups by index (multi-region points) use a dense table when the
    // indices span no more than a few times the number of spectra.
    if (!map.index.empty()) {
        auto [lo, hi] = std::minmax_element(map.index.begin(), map.index.end());
        int64_t span = int64_t{*hi} - *lo + 1;
        if (span <= 4 * static_cast<int64_t>(map.index.size()) + 1024) {
            map.lookupBase = *lo;
            map.lookupTable.assign(static_cast<size_t>(span), 0);
            for (size_t i = 0; i < map.index.size(); ++i)
                map.lookupTable[static_cast<size_t>(map.index[i] - map.lookupBase)] = static_cast<int64_t>(i) + 1;
        }
    }
    return map;
}

int64_t OffsetMap::find(int64_t spectrumIndex) const {
    if (!lookupTable.empty() || index.empty()) {
        int64_t k = spectrumIndex - lookupBase;
        if (k < 0 || k >= static_cast<int64_t>(lookupTable.size())) return -1;
        return lookupTable[static_cast<size_t>(k)] - 1;
    }
    for (size_t i = 0; i < index.size(); ++i)
        if (index[i] == spectrumIndex) return static_cast<int64_t>(i);
    return -1;
}

}  // namespace ixar
