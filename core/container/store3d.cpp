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
#include <cerrno>
#include <limits>

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
    const std::string where = "3D data block at " + at(offsetToData) + ": ";
    if (8 * int64_t{numberEntries} > file.size() - offsetToData - 24)
        throwDamaged(where + "its store table of " + std::to_string(numberEntries) +
                     " entries reaches past the end of the file");
    std::vector<unsigned char> raw(8 * static_cast<size_t>(numberEntries));
    if (r.read(raw.data(), raw.size()) < raw.size()) throwDamaged(where + "the file ends inside its store table");
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
        if (t.blockOffset < 0) throwOs(EINVAL);
        if (total <= 0 && t.records > 1)
            throwDamaged(where + "records of " + std::to_string(total) + " bytes cannot hold " +
                         std::to_string(t.records) + " spectra");
        if (total > 0) {
            int64_t room = file.size() - t.blockOffset;
            if (room < 0 || t.records > room / total)
                throwDamaged(where + "its store table names " + std::to_string(t.records) + " records of " +
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

Records walkRecords(const StoreTable& table, int64_t offsetToData, int64_t stride, bool strict) {
    Records out;
    out.offset.reserve(static_cast<size_t>(table.records));
    out.index.reserve(static_cast<size_t>(table.records));
    auto stop = [&](const std::string& what) {
        out.end = Error(ErrorKind::Damaged, "3D data block at " + at(offsetToData) + ": " + what);
        return out;
    };
    int64_t pos = table.blockOffset;
    for (const StoreEntry& e : table.entries) {
        if (e.first == -1) {
            if (strict && e.second < 0) return stop("a gap entry of " + std::to_string(e.second) + " bytes");
            pos = advance(pos, e.second);
            continue;
        }
        for (int64_t n = e.first; n <= e.second; ++n) {
            out.offset.push_back(pos);
            out.index.push_back(static_cast<int32_t>(n));
            if (strict && table.infoSize < 0)
                return stop("info records of " + std::to_string(table.infoSize) + " bytes");
            pos = advance(pos, stride);
        }
    }
    return out;
}

OffsetMap buildOffsetMap(const StoreTable& table, int64_t offsetToData) {
    Records all = walkRecords(table, offsetToData, int64_t{table.blockSize} + table.infoSize, false);
    OffsetMap map;
    if (all.index.empty()) return map;
    auto [lo, hi] = std::minmax_element(all.index.begin(), all.index.end());
    const int64_t span = int64_t{*hi} - *lo + 1;
    const bool dense = span <= 4 * static_cast<int64_t>(all.index.size()) + 1024;
    // Positions are held in 32 bits.
    if (all.index.size() >= UINT32_MAX) throw Error(ErrorKind::NoMemory, "more spectra than an offset map holds");
    if (dense) {
        map.denseBase = *lo;
        map.dense.assign(static_cast<size_t>(span), 0);
    } else {
        map.sparse.reserve(all.index.size());
    }
    auto slotOf = [&](int32_t idx) -> uint32_t& {
        return dense ? map.dense[static_cast<size_t>(idx - map.denseBase)] : map.sparse[idx];
    };
    // Indexes named twice are rare: until one comes, the walk's own lists
    // are the map's.
    size_t i = 0;
    for (; i < all.index.size(); ++i) {
        uint32_t& slot = slotOf(all.index[i]);
        if (slot) break;
        slot = static_cast<uint32_t>(i + 1);
    }
    if (i == all.index.size()) {
        map.index = std::move(all.index);
        map.offset = std::move(all.offset);
        return map;
    }
    map.index.reserve(all.index.size());
    map.offset.reserve(all.index.size());
    map.index.assign(all.index.begin(), all.index.begin() + static_cast<std::ptrdiff_t>(i));
    map.offset.assign(all.offset.begin(), all.offset.begin() + static_cast<std::ptrdiff_t>(i));
    for (; i < all.index.size(); ++i) {
        const int32_t idx = all.index[i];
        uint32_t& slot = slotOf(idx);
        if (slot) {
            map.offset[static_cast<size_t>(slot - 1)] = all.offset[i];  // a repeat: later offset, first place
            continue;
        }
        slot = static_cast<uint32_t>(map.index.size() + 1);
        map.index.push_back(idx);
        map.offset.push_back(all.offset[i]);
    }
    return map;
}

int64_t OffsetMap::find(int64_t spectrumIndex) const {
    if (!dense.empty()) {
        const int64_t k = spectrumIndex - denseBase;
        if (k < 0 || k >= static_cast<int64_t>(dense.size())) return -1;
        return int64_t{dense[static_cast<size_t>(k)]} - 1;
    }
    if (spectrumIndex < std::numeric_limits<int32_t>::min() || spectrumIndex > std::numeric_limits<int32_t>::max())
        return -1;
    return int64_t{sparse.find(static_cast<int32_t>(spectrumIndex))} - 1;
}

void IndexTable::reserve(size_t entries) {
    size_t slots = 16;
    while (slots < 2 * entries) slots *= 2;
    keys_.assign(slots, 0);
    values_.assign(slots, 0);
    mask_ = slots - 1;
}

size_t IndexTable::slotOf(int32_t key) const noexcept {
    // Fibonacci hashing spreads runs of indexes over the table; probing is
    // linear from there.
    size_t i = static_cast<size_t>((static_cast<uint64_t>(static_cast<uint32_t>(key)) * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    while (values_[i] && keys_[i] != key) i = (i + 1) & mask_;
    return i;
}

uint32_t& IndexTable::operator[](int32_t key) {
    if (values_.empty()) reserve(0);
    const size_t i = slotOf(key);
    keys_[i] = key;
    return values_[i];
}

uint32_t IndexTable::find(int32_t key) const noexcept {
    return values_.empty() ? 0 : values_[slotOf(key)];
}

}  // namespace ixar
