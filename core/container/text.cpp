#include "text.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "error.hpp"

namespace ixar {

bool isValidUtf8(std::string_view s) noexcept {
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // no overlong forms
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

bool isAscii(std::string_view s) noexcept {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

std::string_view cutAtNul(std::string_view s) noexcept {
    size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

std::string requireAscii(std::string_view s) {
    if (!isAscii(s)) throw Error(ErrorKind::DecodeAscii, "text is not ASCII", 0, std::string(s));
    return std::string(s);
}

std::string floatText(double v) {
    if (v != v) return "nan";
    if (v == std::numeric_limits<double>::infinity()) return "inf";
    if (v == -std::numeric_limits<double>::infinity()) return "-inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
    const size_t e = sci.find('e');
    std::string sign, digits;
    for (char c : sci.substr(0, e)) {
        if (c == '-') sign = "-";
        else if (c != '.') digits += c;
    }
    const int exp = std::atoi(std::string(sci.substr(e + 1)).c_str());
    const int point = exp + 1;  // digits before the decimal point
    const int n = static_cast<int>(digits.size());
    if (exp < -4 || exp >= 16) {
        std::string out = sign + digits.substr(0, 1);
        if (n > 1) out += "." + digits.substr(1);
        const int mag = exp < 0 ? -exp : exp;
        return out + (exp < 0 ? "e-" : "e+") + (mag < 10 ? "0" : "") + std::to_string(mag);
    }
    if (point <= 0) return sign + "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    if (point >= n) return sign + digits + std::string(static_cast<size_t>(point - n), '0') + ".0";
    return sign + digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
}

}  // namespace ixar
