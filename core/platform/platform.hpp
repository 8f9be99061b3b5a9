// What the core asks of the operating system, in one place: positioned and
// scatter reads of a descriptor, its size, opening and duplicating
// descriptors, anonymous memory, the machine's memory, hooks around fork().
//
// posix.cpp (Linux, macOS, the BSDs) and windows.cpp implement it; they are
// the only files of the core that include a system header. A descriptor is
// the C runtime's file descriptor on every platform (on Windows, the CRT's,
// whose OS handle the reads use). Failures throw an Os error whose code is
// an errno value, so they read the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ixar::platform {

// One destination of a scatter read.
struct Buffer {
    void* data;
    size_t size;
};

// Buffers one scatter read may take (the system's limit where it has one).
extern const int kMaxBuffers;

// The size of the regular file open on fd; 0 for anything else (a pipe, a
// terminal), whose size is not known beforehand.
int64_t fileSize(int fd);

// One positioned read of up to n bytes at offset (0 <= offset): the bytes
// read, fewer than n only at the end of the file or when the system reads
// less in one call (the caller asks again). An interrupted call is retried;
// 0 is the end of the file. The descriptor's position does not move.
size_t readAt(int fd, int64_t offset, void* dst, size_t n);

// One positioned read of consecutive file bytes into count buffers (count
// at most kMaxBuffers, their sizes summing to at most SIZE_MAX - offset):
// as readAt, the bytes read, possibly fewer than asked.
size_t readScatter(int fd, int64_t offset, const Buffer* buffers, int count);

// The system's own handle of a descriptor of this module: the descriptor on
// POSIX, its OS handle on Windows.
intptr_t systemHandle(int fd);
// Whether descriptors mean the same in every module of the process. On
// Windows each C runtime numbers its own, and the interpreter's may not be
// this module's: a file crosses between them as its OS handle.
extern const bool kSharedDescriptors;
// A descriptor of this module's own for the file that a system handle (see
// systemHandle, possibly of another module) is open on, so that closing
// either leaves the other open; where the system allows, with a position of
// its own. -1 with errno set when there is none.
int adopt(intptr_t systemHandle);
// Closes a descriptor this module opened or adopted.
void close(int fd);

// Opens the file at a path given in UTF-8 (any letters the file system
// takes) for reading in binary: -1 with errno set when it cannot.
int openForReading(const std::string& utf8Path);

// The command line's arguments in UTF-8 (argv as given on POSIX; on Windows
// the wide command line, whose letters the ANSI argv may have lost).
std::vector<std::string> arguments(int argc, char** argv);
// Standard output takes bytes as they are (no newline translation).
void binaryStandardOutput();

// Anonymous, private, zero-filled memory of `length` bytes (a multiple of
// kPageSize), never a view of a file. From kHugePage on, where the system
// gives huge pages on request (Linux's transparent huge pages), aligned to
// kHugePage and with them asked for. Null when there is none.
inline constexpr size_t kPageSize = 4096;
inline constexpr size_t kHugePage = size_t{2} << 20;
void* mapMemory(size_t length) noexcept;
void unmapMemory(void* p, size_t length) noexcept;

// The machine's physical memory in bytes (INT64_MAX when the system does
// not say).
int64_t physicalMemory() noexcept;

// Calls prepare() before a fork() and parent() / child() after it, in the
// process that forked and in the child, where the system has fork();
// nothing elsewhere. Called once for each set of hooks.
void atFork(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace ixar::platform
