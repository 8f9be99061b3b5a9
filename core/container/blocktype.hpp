// The block type word: six small fields cut from the low 26 bits.
//
//   bits 0-1   complexType      bits 10-16  dataType
//   bits 2-3   sampleType       bits 17-18  derivType
//   bits 4-9   paramType        bits 19-25  extendType
//
// Bits 26 and above carry nothing. The word is taken as stored, so a word
// read as -1 decodes like 0xFFFFFFFF.
#pragma once

#include <cstdint>

namespace ixar {

struct BlockType {
    int complexType;
    int sampleType;
    int paramType;
    int dataType;
    int derivType;
    int extendType;
};

// extendType values with a meaning beyond the block's kind.
inline constexpr int kExtend3D = 10;               // a 3D data block
inline constexpr int kExtendAnnotation = 11;       // the annotation block of a multi-region map
inline constexpr int kExtendExtendedDirectory = 64;  // points to the extended directory

constexpr BlockType decodeBlockType(int64_t word) noexcept {
    auto bits = static_cast<uint64_t>(word);
    return BlockType{
        static_cast<int>(bits & 3),
        static_cast<int>((bits >> 2) & 3),
        static_cast<int>((bits >> 4) & 63),
        static_cast<int>((bits >> 10) & 127),
        static_cast<int>((bits >> 17) & 3),
        static_cast<int>((bits >> 19) & 127),
    };
}

}  // namespace ixar
