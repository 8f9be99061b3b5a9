// Errors of the core. The core knows nothing of Python: it throws (or a plan
// carries) an ixar::Error, a kind with the numbers and values that describe
// the failure. The binding turns each kind, by its name, into what a caller
// sees, in one place (errors.cpp, which hands it to ixarkit._errors.fail).
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace ixar {

enum class ErrorKind {
    Os,              // an operating-system error; `code` holds errno
    Damaged,         // a damaged or inconsistent file; the message says what and where
    Missing,         // a required parameter or annotation column; the message holds its name
    NotInteger,      // a table parameter that must be a whole number is not
    DecodeUtf8,      // `bytes` are not valid UTF-8 (a parameter name)
    DecodeAscii,     // `bytes` are not ASCII (a parameter text, a label, an annotation text)
    ShortSignature,  // fewer than four bytes; `code` holds the bytes found
    NoMemory,
    Index,           // a selection of a data set outside its axes (a caller's error, not the file's)
    // Failures of the documented steps whose wording belongs to the array
    // library or the interpreter; the numbers say which step failed and how.
    RowBeyondGrid,   // n[0]: the image row an n[1]-th spectrum would land in, beyond NPY
    NoGridColumns,   // n[0]: spectrum count at which NPX = 0 was divided by
    TraceNotMap,     // n[0] values of trace n[1] do not make a map of n[2] rows by n[3] columns
    NoRecords,       // nothing to stack; n[0] 1 for trace maps, 0 for rows
    RowMissing,      // annotation row n[0] does not exist
    UnknownSpectrum, // value[0] (a Fileindex) names no spectrum of the block
    TraceColumn,     // value[0] (a Fileindex) is no column of n[0] traces of n[1] values
    GroupNotIndex,   // value[0] (a Group) is not a whole number
    RegionSize,      // value[0] x value[1] (AryNX, AryNY) is no number of points
    TextCoordinate,  // value[0], a map coordinate held as text, is no number
    External,        // a failure the caller holds itself (see Plan::cutAt)
};

// A value as the file stores it: a 32-bit integer, a floating-point number
// (32-bit annotation floats widened exactly) or a text.
struct Value {
    enum class Kind : uint8_t { Int, Double, Text };
    Kind kind = Kind::Int;
    int32_t i = 0;
    double d = 0.0;
    std::string text;

    // Equality with a whole number, by numeric value (a text equals none).
    bool equals(int64_t n) const noexcept {
        return kind == Kind::Int ? i == n : kind == Kind::Double && d == static_cast<double>(n);
    }
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string message, int code = 0, std::string bytes = {})
        : std::runtime_error(message), kind_(kind), code_(code), bytes_(std::move(bytes)) {}

    ErrorKind kind() const noexcept { return kind_; }
    int code() const noexcept { return code_; }
    // The offending bytes of a decode error.
    const std::string& bytes() const noexcept { return bytes_; }

    std::array<int64_t, 4> n{};
    std::array<Value, 2> value{};

private:
    ErrorKind kind_;
    int code_;
    std::string bytes_;
};

// The kind's name, as the binding hands it on: "damaged", "row-beyond-grid", ...
const char* nameOf(ErrorKind kind) noexcept;

[[noreturn]] void throwDamaged(std::string message);
[[noreturn]] void throwOs(int err);
Error numbered(ErrorKind kind, std::initializer_list<int64_t> numbers);

// "offset 1234" for messages that say where in the file something is wrong.
std::string at(int64_t offset);

}  // namespace ixar
