// The source of a file's bytes, and the cursor that the format readers walk
// it with.
//
// A source is an open descriptor, read with positioned reads at explicit
// offsets (core/platform), a span of memory, or a read callback. Nothing is mapped, so a file that shrinks
// while it is read gives short reads, never a fault. The descriptor or the
// memory belongs to the caller and must outlive the File.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "error.hpp"
#include "platform/platform.hpp"

namespace ixar {

class File {
public:
    // Takes the file's size; the size is a snapshot used for plausibility
    // checks, while reads always report what the file really holds.
    explicit File(int fd);
    // Bytes in memory: reads copy from them, bounded by size.
    File(const void* data, size_t size) noexcept;
    // Any other source of size bytes: read(offset, dst, n) returns the bytes
    // it placed at dst, fewer only at the end, and throws on failure.
    using ReadFn = std::function<size_t(int64_t offset, void* dst, size_t n)>;
    File(ReadFn read, int64_t size) : size_(size), read_(std::move(read)) {}

    int fd() const noexcept { return fd_; }
    int64_t size() const noexcept { return size_; }

    // Reads up to n bytes at offset; fewer only at end of file. A negative
    // offset is EINVAL, as a seek to it would be.
    size_t readAt(int64_t offset, void* dst, size_t n) const;
    // Scatter read of consecutive file bytes into count buffers (at most
    // platform::kMaxBuffers); fewer bytes only at end of file.
    size_t readvAt(int64_t offset, const platform::Buffer* buffers, int count) const;

private:
    int fd_ = -1;
    int64_t size_ = 0;
    const unsigned char* mem_ = nullptr;  // the memory source, or null
    ReadFn read_;                         // the callback source, or empty
};

// The numbers the format stores, with the width each read asks for.
enum class Primitive { Short, Int, Int64, Float, Double };

int widthOf(Primitive p) noexcept;
const char* nameOf(Primitive p) noexcept;  // "readInt", ...

// A primitive read that ended at end of file: it yields 0 and is reported on
// standard error by the binding, once for each such read.
struct ReadFailure {
    Primitive primitive;
    int got;         // bytes that were there
    int64_t at = 0;  // where the read started
};

using ReadFailures = std::vector<ReadFailure>;

// A cursor over a File with a read-ahead buffer, for the small little-endian
// reads of headers, directories and parameter lists.
class Reader {
public:
    Reader(const File& file, ReadFailures& failures) : file_(file), failures_(failures) {}

    // Seeking to a negative position fails with EINVAL; seeking past the end
    // is allowed (the next read then yields nothing).
    void seek(int64_t offset);
    int64_t tell() const noexcept { return pos_; }
    const File& file() const noexcept { return file_; }
    // Bytes between the position and the end of the file (0 past the end).
    int64_t remaining() const noexcept;

    // Reads up to n bytes, fewer at end of file; the position moves by the
    // bytes actually read.
    size_t read(void* dst, size_t n);
    // Up to n bytes as a string (n >= 0); never allocates more than the file holds.
    std::string readBytes(int64_t n);

    // Little-endian numbers. A short read yields 0 and is logged as a ReadFailure.
    int16_t readShort();
    int32_t readInt();
    int64_t readInt64();
    float readFloat();
    double readDouble();

private:
    bool readNumber(Primitive p, unsigned char* out);

    const File& file_;
    ReadFailures& failures_;
    int64_t pos_ = 0;
    std::vector<unsigned char> buf_;
    int64_t bufStart_ = 0;
    size_t bufLen_ = 0;
};

// Little-endian decoding from bytes, independent of the host's byte order.
inline uint16_t loadLE16(const unsigned char* p) noexcept {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t loadLE32(const unsigned char* p) noexcept {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t loadLE64(const unsigned char* p) noexcept {
    return static_cast<uint64_t>(loadLE32(p)) | (static_cast<uint64_t>(loadLE32(p + 4)) << 32);
}
double loadLEDouble(const unsigned char* p) noexcept;
float loadLEFloat(const unsigned char* p) noexcept;

// Turns an array of little-endian float32 or float64 values, read raw into
// memory, into native numbers (nothing to do on little-endian hosts).
void fixFloat32Order(float* values, size_t count) noexcept;
void fixFloat64Order(double* values, size_t count) noexcept;

}  // namespace ixar
