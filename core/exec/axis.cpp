#include "axis.hpp"

// Products and sums must be rounded one by one, as the array library's
// separate multiply and add are: no fused multiply-add (the build also
// passes -ffp-contract=off, which is how GCC is told).
#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#endif

namespace ixar {

void fillLinspace(double first, double last, int64_t n, double* out) noexcept {
    if (n <= 0) return;
    const double delta = last - first;
    const int64_t div = n - 1;
    if (div == 0) {
        const double scaled = 0.0 * delta;
        out[0] = scaled + first;
        return;
    }
    const double step = delta / static_cast<double>(div);
    if (step == 0.0) {
        for (int64_t i = 0; i < n; ++i) {
            const double fraction = static_cast<double>(i) / static_cast<double>(div);
            const double scaled = fraction * delta;
            out[i] = scaled + first;
        }
    } else {
        for (int64_t i = 0; i < n; ++i) {
            const double scaled = static_cast<double>(i) * step;
            out[i] = scaled + first;
        }
    }
    out[n - 1] = last;
}

}  // namespace ixar
