#include "file.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

namespace ixar {

const char* nameOf(ErrorKind kind) noexcept {
    using K = ErrorKind;
    switch (kind) {
        case K::Os: return "os";
        case K::Damaged: return "damaged";
        case K::Missing: return "missing";
        case K::NotInteger: return "not-integer";
        case K::DecodeUtf8: return "decode-utf8";
        case K::DecodeAscii: return "decode-ascii";
        case K::ShortSignature: return "short-signature";
        case K::NoMemory: return "no-memory";
        case K::Index: return "index";
        case K::RowBeyondGrid: return "row-beyond-grid";
        case K::NoGridColumns: return "no-grid-columns";
        case K::TraceNotMap: return "trace-not-map";
        case K::NoRecords: return "no-records";
        case K::RowMissing: return "row-missing";
        case K::UnknownSpectrum: return "unknown-spectrum";
        case K::TraceColumn: return "trace-column";
        case K::GroupNotIndex: return "group-not-index";
        case K::RegionSize: return "region-size";
        case K::TextCoordinate: return "text-coordinate";
        case K::External: return "external";
    }
    return "";
}

void throwDamaged(std::string message) { throw Error(ErrorKind::Damaged, std::move(message)); }
Error numbered(ErrorKind kind, std::initializer_list<int64_t> numbers) {
    Error e(kind, "");
    size_t i = 0;
    for (int64_t v : numbers) e.n[i++] = v;
    return e;
}
void throwOs(int err) { throw Error(ErrorKind::Os, std::strerror(err), err); }
std::string at(int64_t offset) { return "offset " + std::to_string(offset); }

File::File(int fd) : fd_(fd), size_(platform::fileSize(fd)) {}

File::File(const void* data, size_t size) noexcept
    : size_(static_cast<int64_t>(std::min<size_t>(size, std::numeric_limits<int64_t>::max()))),
      mem_(static_cast<const unsigned char*>(data)) {}

size_t File::readAt(int64_t offset, void* dst, size_t n) const {
    if (offset < 0) throwOs(EINVAL);
    if (read_) {
        size_t done = 0;
        while (done < n) {
            const size_t got = read_(offset + static_cast<int64_t>(done), static_cast<unsigned char*>(dst) + done, n - done);
            if (got == 0) break;
            done += std::min(got, n - done);
        }
        return done;
    }
    if (mem_) {
        if (offset >= size_) return 0;
        const size_t take = std::min(n, static_cast<size_t>(size_ - offset));
        if (take) std::memcpy(dst, mem_ + offset, take);
        return take;
    }
    size_t done = 0;
    auto* out = static_cast<unsigned char*>(dst);
    while (done < n) {
        const size_t r = platform::readAt(fd_, offset + static_cast<int64_t>(done), out + done, n - done);
        if (r == 0) break;  // end of file
        done += r;
    }
    return done;
}

size_t File::readvAt(int64_t offset, const platform::Buffer* iov, int count) const {
    if (offset < 0) throwOs(EINVAL);
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].size;
    // A range that no file can reach reads nothing.
    if (total > static_cast<size_t>(std::numeric_limits<int64_t>::max() - offset)) return 0;
    if (mem_ || read_) {
        size_t done = 0;
        for (int i = 0; i < count; ++i) {
            const size_t got = readAt(offset + static_cast<int64_t>(done), iov[i].data, iov[i].size);
            done += got;
            if (got < iov[i].size) break;
        }
        return done;
    }
    size_t done = platform::readScatter(fd_, offset, iov, count);
    if (done == total || done == 0) return done;
    // A partial transfer: finish piece by piece so that only end of file
    // makes the result short.
    size_t skip = done;
    for (int i = 0; i < count; ++i) {
        size_t len = iov[i].size;
        if (skip >= len) {
            skip -= len;
            continue;
        }
        size_t want = len - skip;
        size_t got = readAt(offset + static_cast<int64_t>(done), static_cast<unsigned char*>(iov[i].data) + skip, want);
        done += got;
        skip = 0;
        if (got < want) break;
    }
    return done;
}

int widthOf(Primitive p) noexcept {
    switch (p) {
        case Primitive::Short: return 2;
        case Primitive::Int: return 4;
        case Primitive::Float: return 4;
        case Primitive::Int64: return 8;
        case Primitive::Double: return 8;
    }
    return 0;
}

const char* nameOf(Primitive p) noexcept {
    switch (p) {
        case Primitive::Short: return "readShort";
        case Primitive::Int: return "readInt";
        case Primitive::Int64: return "readInt64";
        case Primitive::Float: return "readFloat";
        case Primitive::Double: return "readDouble";
    }
    return "";
}

void Reader::seek(int64_t offset) {
    if (offset < 0) throwOs(EINVAL);
    pos_ = offset;
}

int64_t Reader::remaining() const noexcept {
    int64_t size = file_.size();
    return pos_ < size ? size - pos_ : 0;
}

size_t Reader::read(void* dst, size_t n) {
    // Refills start small (most structures are a few hundred bytes) and
    // double while reading goes on, up to kMaxBuffer.
    constexpr size_t kMinBuffer = 512;
    constexpr size_t kMaxBuffer = 64 * 1024;
    auto* out = static_cast<unsigned char*>(dst);
    size_t done = 0;
    while (done < n) {
        // Serve from the buffer when the position lies inside it.
        if (pos_ >= bufStart_ && pos_ < bufStart_ + static_cast<int64_t>(bufLen_)) {
            size_t off = static_cast<size_t>(pos_ - bufStart_);
            size_t take = std::min(n - done, bufLen_ - off);
            std::memcpy(out + done, buf_.data() + off, take);
            done += take;
            pos_ += static_cast<int64_t>(take);
            continue;
        }
        if (n - done >= kMaxBuffer) {
            size_t got = file_.readAt(pos_, out + done, n - done);
            done += got;
            pos_ += static_cast<int64_t>(got);
            break;
        }
        const bool sequential = bufLen_ > 0 && pos_ == bufStart_ + static_cast<int64_t>(bufLen_);
        const size_t want = std::max(n - done, sequential ? std::min(2 * buf_.size(), kMaxBuffer) : kMinBuffer);
        buf_.resize(std::max(want, kMinBuffer));
        bufStart_ = pos_;
        bufLen_ = file_.readAt(pos_, buf_.data(), buf_.size());
        if (bufLen_ == 0) break;  // end of file
    }
    return done;
}

std::string Reader::readBytes(int64_t n) {
    std::string out;
    if (n <= 0) return out;
    // Never more than the file holds beyond the position: the length comes
    // from the file and is not trusted.
    int64_t want = std::min(n, remaining());
    out.resize(static_cast<size_t>(want));
    out.resize(read(out.data(), out.size()));
    return out;
}

bool Reader::readNumber(Primitive p, unsigned char* out) {
    int w = widthOf(p);
    size_t got = read(out, static_cast<size_t>(w));
    if (got < static_cast<size_t>(w)) {
        failures_.push_back({p, static_cast<int>(got), pos_ - static_cast<int64_t>(got)});
        return false;
    }
    return true;
}

int16_t Reader::readShort() {
    unsigned char b[2];
    return readNumber(Primitive::Short, b) ? static_cast<int16_t>(loadLE16(b)) : 0;
}

int32_t Reader::readInt() {
    unsigned char b[4];
    return readNumber(Primitive::Int, b) ? static_cast<int32_t>(loadLE32(b)) : 0;
}

int64_t Reader::readInt64() {
    unsigned char b[8];
    return readNumber(Primitive::Int64, b) ? static_cast<int64_t>(loadLE64(b)) : 0;
}

float Reader::readFloat() {
    unsigned char b[4];
    return readNumber(Primitive::Float, b) ? loadLEFloat(b) : 0.0f;
}

double Reader::readDouble() {
    unsigned char b[8];
    return readNumber(Primitive::Double, b) ? loadLEDouble(b) : 0.0;
}

double loadLEDouble(const unsigned char* p) noexcept { return std::bit_cast<double>(loadLE64(p)); }
float loadLEFloat(const unsigned char* p) noexcept { return std::bit_cast<float>(loadLE32(p)); }

void fixFloat32Order(float* values, size_t count) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        (void)values;
        (void)count;
    } else {
        auto* p = reinterpret_cast<unsigned char*>(values);
        for (size_t i = 0; i < count; ++i) values[i] = loadLEFloat(p + 4 * i);
    }
}

void fixFloat64Order(double* values, size_t count) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        (void)values;
        (void)count;
    } else {
        auto* p = reinterpret_cast<unsigned char*>(values);
        for (size_t i = 0; i < count; ++i) values[i] = loadLEDouble(p + 8 * i);
    }
}

}  // namespace ixar
