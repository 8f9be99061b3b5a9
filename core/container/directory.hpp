// The file header, the signature and the block directory.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "blocktype.hpp"
#include "file.hpp"

namespace ixar {

// The first four bytes of every file, read big-endian: 0x0A 0x0A 0xFE 0xFE.
inline constexpr int32_t kSignature = 168492798;

// Whether the file starts with the signature. Fewer than four bytes is an
// error of kind ShortSignature carrying the number of bytes found.
bool hasSignature(const File& file);

struct DirEntry {
    BlockType type;
    int64_t sizeInWords;
    int64_t byteOffset;
};

// Every entry of the main directory, the pointer to the extended directory
// included at its place, then every entry of the extended directory.
std::vector<DirEntry> readDirectory(const File& file, ReadFailures& failures);

// The directory of a file that starts with the signature; none for one that
// does not, and (where shortIsNone; else it throws as hasSignature does) for
// one shorter than a signature.
std::optional<std::vector<DirEntry>> openDirectory(const File& file, ReadFailures& failures, bool shortIsNone);

}  // namespace ixar
