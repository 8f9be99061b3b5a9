// Text fields of the file: names are UTF-8, everything else is ASCII, and
// fixed-size fields end at their first NUL byte.
#pragma once

#include <string>
#include <string_view>

namespace ixar {

// Strict UTF-8 as the interpreter's codec accepts it: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view s) noexcept;
bool isAscii(std::string_view s) noexcept;

// The bytes before the first NUL (all of them when there is none).
std::string_view cutAtNul(std::string_view s) noexcept;

// Throws a DecodeAscii error unless s is ASCII; returns s.
std::string requireAscii(std::string_view s);

// A float as the interpreter writes it in messages: the shortest digits that
// read back as v, "3.0" for whole numbers, exponents from 1e16 and below 1e-4.
std::string floatText(double v);

}  // namespace ixar
