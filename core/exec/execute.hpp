// Executing a plan: the reads it lists, into memory the caller owns.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "plan/plan.hpp"

namespace ixar {

// One span per planned array, in plan order, each exactly as long as the
// array's bytes. Every write is checked against its span before it is
// queued. Labels of traces are appended to labels, failed time reads to
// failures. Throws the first read error, or else the plan's failure once
// everything before it is read.
void execute(const File& file, const Plan& plan, std::span<const std::span<unsigned char>> arrays,
             std::vector<std::string>& labels, ReadFailures& failures);

}  // namespace ixar
