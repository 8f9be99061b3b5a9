// Parameter blocks: lists of named values ending with a record named END.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "file.hpp"

namespace ixar {

using ParamValue = Value;

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

// Parameter blocks merged the way dict updates merge them: one record per
// name, in the order names first appear, each with the latest value.
class MergedParams {
public:
    void merge(const ParamList& block);
    void set(const std::string& name, const ParamValue& value);
    const ParamValue* find(std::string_view name) const;
    const ParamList& list() const noexcept { return list_; }

private:
    ParamList list_;
    std::unordered_map<std::string, size_t> index_;
};

// A value that must be a whole number (table sizes and offsets): a missing
// name is a Key error, a double or a text a Type error.
int32_t requireInt(const ParamList& params, std::string_view name, int64_t blockOffset);

}  // namespace ixar
