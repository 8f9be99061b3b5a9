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

namespace ixar {

// The same plan executed as plainly as it can be: one record, time value and
// label at a time, each read on its own and decoded value by value, with no
// batching, staging, sorting or wide loads. It fills the same spans, gives
// the same labels and read failures, and throws the same error as execute().
// It exists to check execute() against (fuzzers and tests); users' reads go
// through execute().
void executeReference(const File& file, const Plan& plan, std::span<const std::span<unsigned char>> arrays,
                      std::vector<std::string>& labels, ReadFailures& failures);

}  // namespace ixar
