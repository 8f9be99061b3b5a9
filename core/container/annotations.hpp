// The annotation block of a multi-region map: tables whose rows describe the
// measured points (group, grid size, coordinates, spectrum index, ...).
#pragma once

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "file.hpp"
#include "pages.hpp"

namespace ixar {

// A cell as stored: 8 bytes, whatever its kind.
struct AnnoCell {
    enum class Kind : uint8_t { Int, Float, Text };
    Kind kind = Kind::Int;
    union {
        int32_t i = 0;  // Int
        float f;        // Float
        uint32_t text;  // Text: index into Annotations::texts
    };
    // The cell as a number: Int and Float cells, 0 for text.
    double number() const noexcept {
        return kind == Kind::Int ? static_cast<double>(i) : kind == Kind::Float ? static_cast<double>(f) : 0.0;
    }
};

struct AnnoColumn {
    Value name;  // a text, or a number as a table header may give it
    std::span<const AnnoCell> cells;  // one per row (two per row when a table names a column twice)
};

// Column name -> values, in the order the names first appear; a table that
// names a column again (an equal text, or an equal number) replaces the
// earlier table's values. The values of a table's columns lie in one block
// of memory; moving the tables keeps them where they are, copying would not.
struct Annotations {
    Annotations() = default;
    Annotations(Annotations&&) noexcept = default;
    Annotations& operator=(Annotations&&) noexcept = default;
    Annotations(const Annotations&) = delete;
    Annotations& operator=(const Annotations&) = delete;

    std::vector<AnnoColumn> columns;
    std::vector<std::string> texts;
    std::vector<PageVector<AnnoCell>> blocks;
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
