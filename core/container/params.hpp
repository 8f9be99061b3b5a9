// Parameter blocks: lists of named values ending with a record named END.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file.hpp"

namespace ixar {

struct ParamValue {
    enum class Kind { Int, Double, Text };
    Kind kind = Kind::Int;
    int32_t i = 0;
    double d = 0.0;
    std::string text;
};

struct ParamRecord {
    std::string name;
    ParamValue value;
};

// The records of one block in file order; a name may occur twice, and the
// later record is the one that counts.
using ParamList = std::vector<ParamRecord>;

// Reads the parameter block at an absolute offset.
ParamList readParams(const File& file, int64_t offset, ReadFailures& failures);

// The value that a name ends up with (its last record), or nullptr.
const ParamValue* findParam(const ParamList& params, std::string_view name) noexcept;

// A value that must be a whole number (table sizes and offsets): a missing
// name is a Key error, a double or a text a Type error.
int32_t requireInt(const ParamList& params, std::string_view name, int64_t blockOffset);

}  // namespace ixar
