// What both executors share: the planned arrays as typed, bounded
// destinations, and the failures of a record or trace the file cuts short.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>

#include "plan/plan.hpp"

namespace ixar {

class Arrays {
public:
    Arrays(const Plan& plan, std::span<const std::span<unsigned char>> spans) : plan_(plan), spans_(spans) {
        if (spans.size() != plan.arrays.size()) throw std::logic_error("plan and arrays differ in number");
        for (size_t i = 0; i < spans.size(); ++i)
            if (static_cast<int64_t>(spans[i].size()) != plan.arrays[i].bytes())
                throw std::logic_error("an array differs from its plan in size");
    }
    // count elements of array a from element e, which must lie inside it.
    template <class T>
    T* at(uint32_t a, int64_t e, int64_t count) const {
        if (a >= spans_.size() || plan_.arrays[a].f64 != (sizeof(T) == 8))
            throw std::logic_error("a destination names no array of its type");
        const auto size = static_cast<int64_t>(spans_[a].size() / sizeof(T));
        if (e < 0 || count < 0 || e > size || count > size - e)
            throw std::logic_error("a destination lies outside its array");
        return reinterpret_cast<T*>(spans_[a].data()) + e;
    }

private:
    const Plan& plan_;
    std::span<const std::span<unsigned char>> spans_;
};

// The values a plan picks out of its staging rows (see Plan::picks), each
// checked against both arrays before any is copied.
void pickValues(const Plan& plan, const Arrays& arrays);

// Record id at offset holds gotBytes of its plan.npt values before the end of the file.
// A row read of a selection (a window of the record, at element of its
// array) speaks of the whole record: where it starts, and how many of its
// values lie before the end of a file of fileSize bytes.
[[noreturn]] void throwShortRecord(const Plan& plan, int64_t id, int64_t offset, size_t gotBytes, int64_t element,
                                   int64_t fileSize);
// Trace id holds gotBytes of its values: a damaged file, or no map.
[[noreturn]] void throwShortTrace(const Plan& plan, int64_t id, size_t gotBytes);

}  // namespace ixar
