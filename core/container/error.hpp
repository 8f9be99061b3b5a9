// Errors of the core. The core knows nothing of Python: it throws ixar::Error,
// and the binding turns each kind into the exception a caller of the module sees.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ixar {

enum class ErrorKind {
    Os,           // an operating-system error; `code` holds errno
    Value,        // a damaged or inconsistent file; `message` says what and where
    Key,          // a required parameter or column is missing; `message` holds its name
    Type,         // a value has the wrong kind (text where a number is needed)
    DecodeUtf8,   // `bytes` are not valid UTF-8 (a parameter name)
    DecodeAscii,  // `bytes` are not ASCII (a parameter text, a label, an annotation text)
    ShortRead,    // a signature read came up short; `code` holds the bytes read
    Memory,       // an allocation failed
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string message, int code = 0, std::string bytes = {})
        : std::runtime_error(message), kind_(kind), code_(code), bytes_(std::move(bytes)) {}

    ErrorKind kind() const noexcept { return kind_; }
    int code() const noexcept { return code_; }
    // The offending bytes of a decode error.
    const std::string& bytes() const noexcept { return bytes_; }

private:
    ErrorKind kind_;
    int code_;
    std::string bytes_;
};

[[noreturn]] void throwValue(std::string message);
[[noreturn]] void throwOs(int err);

// "offset 1234" for messages that say where in the file something is wrong.
std::string at(int64_t offset);

}  // namespace ixar
