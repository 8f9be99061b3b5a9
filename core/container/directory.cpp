// Header (all little-endian but the signature):
//   0  int32 BE  signature
//   4  double    unused
//  12  int32     offsetToDirectory
//  16  int32     unused
//  20  int32     numberDirEntries
// Main directory: numberDirEntries entries of three int32 (type word,
// sizeInWords, byteOffset). The last entry whose extendType is 64 points to an
// extended directory: int64 count, int64 unused, then entries of four int64
// (type word, sizeInWords, byteOffset, unused). Extended entries are never
// followed as pointers themselves.
#include "directory.hpp"

namespace ixar {

bool hasSignature(const File& file) {
    unsigned char b[4];
    size_t got = file.readAt(0, b, 4);
    if (got < 4) throw Error(ErrorKind::ShortSignature, "file shorter than its signature", static_cast<int>(got));
    auto word = static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]);
    return word == kSignature;
}

std::optional<std::vector<DirEntry>> openDirectory(const File& file, ReadFailures& failures, bool shortIsNone) {
    try {
        if (!hasSignature(file)) return std::nullopt;
    } catch (const Error& e) {
        if (!shortIsNone || e.kind() != ErrorKind::ShortSignature) throw;
        return std::nullopt;
    }
    return readDirectory(file, failures);
}

std::vector<DirEntry> readDirectory(const File& file, ReadFailures& failures) {
    Reader r(file, failures);
    r.seek(4);
    r.readDouble();
    int32_t offsetToDirectory = r.readInt();
    r.readInt();
    int32_t numberDirEntries = r.readInt();
    r.seek(offsetToDirectory);

    std::vector<DirEntry> directory;
    int64_t extOffset = 0;  // 0: no extended directory
    // The count is untrusted. The walk ends with the first entry that the
    // file cuts short: its first failed read is reported like any other, and
    // the fields it could not read are 0, so a corrupt count costs no more
    // than the file's length and drops nothing silently.
    size_t before = failures.size();
    auto cut = [&] { return failures.size() > before; };
    for (int32_t i = 0; i < numberDirEntries && !cut(); ++i) {
        int32_t word = r.readInt();
        int32_t size = cut() ? 0 : r.readInt();
        int32_t offset = cut() ? 0 : r.readInt();
        BlockType type = decodeBlockType(word);
        directory.push_back({type, size, offset});
        if (type.extendType == kExtendExtendedDirectory) extOffset = offset;
    }

    if (extOffset != 0) {
        r.seek(extOffset);
        before = failures.size();
        int64_t count = r.readInt64();
        if (!cut()) r.readInt64();
        for (int64_t i = 0; i < count && !cut(); ++i) {
            int64_t word = r.readInt64();
            int64_t size = cut() ? 0 : r.readInt64();
            int64_t offset = cut() ? 0 : r.readInt64();
            if (!cut()) r.readInt64();
            directory.push_back({decodeBlockType(word), size, offset});
        }
    }
    return directory;
}

}  // namespace ixar
