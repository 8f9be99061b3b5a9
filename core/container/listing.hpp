// Names of block kinds, and the contents listing built from them.
#pragma once

#include <vector>

#include "directory.hpp"

namespace ixar {

// The data type name of a parameter block (paramType 1), or nullptr for a
// block that carries no listed kind.
const char* dataTypeName(const BlockType& type) noexcept;

// "NONE", "1DER", "2DER", "3DER".
const char* derivativeName(int derivType) noexcept;

struct ListingEntry {
    const char* dataType;
    bool is3D;
    int derivType;
};

// The data sets of a directory in listing order: the leading kinds (AB, TR,
// REFL, ATR, PAS, RAM, KM, EMIS) first, latest in the directory first, then
// all others in directory order. Nothing is merged.
std::vector<ListingEntry> listContents(const std::vector<DirEntry>& directory);

}  // namespace ixar
