// What the planners share: lookups of required parameters, size checks
// against the file, failures with numbers, and saturating size arithmetic.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "plan.hpp"
#include "platform/checked.hpp"

namespace ixar::planning {

inline std::string blockAt(int64_t offset) { return "3D data block at " + at(offset); }

const ParamValue& require(const MergedParams& params, const char* code);

// A size parameter must not claim more data than the file holds (a value
// that is no whole number is left for the caller's arithmetic to reject).
void checkSize(const File& file, const char* code, const ParamValue& v, int64_t bytesEach);

Error failureWith(ErrorKind kind, std::initializer_list<int64_t> n, const ParamValue& a = ParamValue{},
                  const ParamValue& b = ParamValue{});

// Records of a series or map must not lie inside one another: each holds
// NPT values, so blockSize must leave room for them.
void checkRecordSize(const StoreTable& t, int64_t npt, int64_t offsetToData);

// Sizes are planned from the file's numbers, so their arithmetic saturates
// rather than wraps: a size no memory can hold stays one.
inline constexpr int64_t kHuge = std::numeric_limits<int64_t>::max();
inline int64_t mul(int64_t a, int64_t b) noexcept {
    int64_t r;
    return mulOverflows(a, b, r) ? kHuge : r;
}
inline int64_t add(int64_t a, int64_t b) noexcept {
    int64_t r;
    return addOverflows(a, b, r) ? kHuge : r;
}

}  // namespace ixar::planning
