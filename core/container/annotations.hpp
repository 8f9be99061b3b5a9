// The annotation block of a multi-region map: tables whose rows describe the
// measured points (group, grid size, coordinates, spectrum index, ...).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file.hpp"

namespace ixar {

struct AnnoCell {
    enum class Kind : uint8_t { Int, Float, Text };
    Kind kind;
    int32_t i;      // Int
    double f;       // Float: the stored 32-bit value, widened
    uint32_t text;  // Text: index into Annotations::texts
};

struct AnnoColumn {
    Value name;  // a text, or a number as a table header may give it
    std::vector<AnnoCell> cells;  // one per row (two per row when a table names a column twice)
};

// Column name -> values, in the order the names first appear; a table that
// names a column again (an equal text, or an equal number) replaces the
// earlier table's values.
struct Annotations {
    std::vector<AnnoColumn> columns;
    std::vector<std::string> texts;
    // The column of a text name, or nullptr.
    const AnnoColumn* find(std::string_view name) const noexcept;
};

// A cell as a value of its own.
Value valueOf(const Annotations& a, const AnnoCell& cell);

// Reads every table of the annotation block at an absolute offset. Every row
// is read and checked; with `wanted`, only the columns of those (text) names
// keep their values.
Annotations readAnnotations(const File& file, int64_t offset, ReadFailures& failures,
                            const std::vector<std::string_view>* wanted = nullptr);

}  // namespace ixar
