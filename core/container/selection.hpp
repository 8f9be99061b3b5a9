// Request vocabulary and block selection: which directory entries answer a
// request such as ("AB", "2D", "NONE").
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "directory.hpp"

namespace ixar {

// A data block type name of a request and the codes it stands for.
struct DataBlockCode {
    const char* name;
    int data;    // dataType of the data block
    int sample;  // sampleType it must carry: 1 sample, 2 reference, -1 any
};

// The data type of traces (TRC), which some families read differently.
inline constexpr int kTraceData = 7;

// The 20 known type names, in the order the error message lists them.
const std::vector<DataBlockCode>& dataBlockCodes();
// NONE 0, 1DER 1, 2DER 2, NDER 3.
struct DerivativeCode {
    const char* name;
    int code;
};
const std::vector<DerivativeCode>& derivativeCodes();

struct Request {
    int data;
    int sample;
    int extend;  // 10 for "3D", 0 for "2D"
    int derivative;
};

// Absolute offsets of the blocks found; -1 where none matched.
struct Selection {
    int64_t offsetToData = -1;
    int64_t offsetToParams = -1;
    int64_t offsetToOriginalParams = -1;
    int64_t offsetToAcqParams = -1;
    int64_t offsetToInstParams = -1;
    int64_t offsetToSampleParams = -1;
    int64_t offsetToFTParams = -1;
    int64_t offsetToANNO = -1;
};

// Visits every entry; where several entries fill the same role, the one
// latest in the directory wins.
Selection selectBlocks(const std::vector<DirEntry>& directory, const Request& request) noexcept;

}  // namespace ixar
