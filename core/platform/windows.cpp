// The platform on Windows: reads through the descriptor's OS handle with
// ReadFile at an OVERLAPPED offset (64 bits, so past 4 GiB), sizes from
// GetFileSizeEx, memory from VirtualAlloc, paths and arguments in UTF-16.
#include "platform.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include "container/error.hpp"

namespace ixar::platform {

const int kMaxBuffers = 1024;

namespace {

constexpr DWORD kMaxCall = DWORD{1} << 30;  // bytes asked of one ReadFile

// A system error as the errno value that says the same.
int errnoOf(DWORD error) noexcept {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK: return EINVAL;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        default: return EIO;
    }
}

HANDLE handleOf(int fd) {
    const intptr_t h = _get_osfhandle(fd);
    if (h == -1 || h == -2) throwOs(EBADF);
    return reinterpret_cast<HANDLE>(h);
}

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    if (utf8.size() > static_cast<size_t>(INT_MAX)) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

}  // namespace

int64_t fileSize(int fd) {
    const HANDLE h = handleOf(fd);
    if (GetFileType(h) != FILE_TYPE_DISK) return 0;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) throwOs(errnoOf(GetLastError()));
    return static_cast<int64_t>(size.QuadPart);
}

size_t readAt(int fd, int64_t offset, void* dst, size_t n) {
    if (offset < 0) throwOs(EINVAL);
    const HANDLE h = handleOf(fd);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    const DWORD want = n < kMaxCall ? static_cast<DWORD>(n) : kMaxCall;
    DWORD got = 0;
    if (!ReadFile(h, dst, want, &got, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
        throwOs(errnoOf(error));
    }
    return got;
}

size_t readScatter(int fd, int64_t offset, const Buffer* buffers, int count) {
    // ReadFileScatter takes only whole pages of unbuffered files: the
    // buffers are read one after the other.
    size_t done = 0;
    for (int i = 0; i < count; ++i) {
        const size_t got = readAt(fd, offset + static_cast<int64_t>(done), buffers[i].data, buffers[i].size);
        done += got;
        if (got < buffers[i].size) break;
    }
    return done;
}

const bool kSharedDescriptors = false;

intptr_t systemHandle(int fd) { return _get_osfhandle(fd); }

int adopt(intptr_t handle) {
    const HANDLE h = reinterpret_cast<HANDLE>(handle);
    if (handle == -1 || handle == -2) {
        errno = EBADF;
        return -1;
    }
    // A handle of its own to the file, with a position of its own, which
    // ReadFile at an offset moves; where the file cannot be opened again
    // so, a duplicate of the handle.
    HANDLE mine = ReOpenFile(h, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (mine == INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &mine, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        errno = errnoOf(GetLastError());
        return -1;
    }
    const int out = _open_osfhandle(reinterpret_cast<intptr_t>(mine), _O_RDONLY | _O_BINARY);
    if (out < 0) {
        CloseHandle(mine);
        errno = EMFILE;
    }
    return out;
}

void close(int fd) { _close(fd); }

int openForReading(const std::string& utf8Path) {
    const std::wstring path = wide(utf8Path);
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    return _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

std::vector<std::string> arguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wargv || n != argc) {
        if (wargv) LocalFree(wargv);
        return {argv, argv + argc};
    }
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(narrow(wargv[i]));
    LocalFree(wargv);
    return out;
}

void binaryStandardOutput() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void* mapMemory(size_t length) noexcept {
    // Large pages need a privilege that users do not hold: plain pages.
    return VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmapMemory(void* p, size_t) noexcept {
    if (p) VirtualFree(p, 0, MEM_RELEASE);
}

int64_t physicalMemory() noexcept {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0 || status.ullTotalPhys > INT64_MAX) return INT64_MAX;
    return static_cast<int64_t>(status.ullTotalPhys);
}

void atFork(void (*)(), void (*)(), void (*)()) {}  // no fork() on Windows

}  // namespace ixar::platform
