// The x axis of a data set: numpy.linspace(first, last, n) for two floats,
// bit for bit, without a round trip through the interpreter.
#pragma once

#include <cstdint>

namespace ixar {

// out[0..n): i * step + first with step = (last - first) / (n - 1), each
// product and sum rounded on its own, and out[n - 1] = last; when the step
// underflows to zero, (i / (n - 1)) * (last - first) + first instead. One
// point is 0 * (last - first) + first.
void fillLinspace(double first, double last, int64_t n, double* out) noexcept;

}  // namespace ixar
