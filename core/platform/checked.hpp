// Overflow-checked arithmetic on 64-bit integers, in plain C++ that every
// compiler takes the same way: each returns true, leaving r unchanged, when
// the exact result does not fit.
#pragma once

#include <cstdint>
#include <limits>

namespace ixar {

inline bool addOverflows(int64_t a, int64_t b, int64_t& r) noexcept {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
    if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) return true;
    r = a + b;
    return false;
}

inline bool mulOverflows(int64_t a, int64_t b, int64_t& r) noexcept {
    if (a == 0 || b == 0) {
        r = 0;
        return false;
    }
    const bool negative = (a < 0) != (b < 0);
    const uint64_t ua = a < 0 ? 0 - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
    const uint64_t ub = b < 0 ? 0 - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
    // The largest magnitude of the result's sign: 2^63 - 1, or 2^63.
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    if (ua > limit / ub) return true;
    const uint64_t m = ua * ub;
    r = negative ? static_cast<int64_t>(0 - m) : static_cast<int64_t>(m);  // modular, as C++20 defines it
    return false;
}

}  // namespace ixar
