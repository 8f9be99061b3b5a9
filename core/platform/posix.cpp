// The platform on POSIX systems: Linux, macOS (11 and later, for preadv) and
// the BSDs.
#include "platform.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <limits>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif

#include "container/error.hpp"

namespace ixar::platform {

#if defined(IOV_MAX) && IOV_MAX < 1024
const int kMaxBuffers = IOV_MAX;
#else
const int kMaxBuffers = 1024;
#endif

namespace {
// Offsets and lengths as the system calls take them: a range that no file
// can reach reads nothing.
bool reachable(int64_t offset, size_t n) noexcept {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return offset >= 0 && static_cast<uint64_t>(offset) <= kMax && n <= kMax - static_cast<uint64_t>(offset);
}
constexpr size_t kMaxCall = size_t{1} << 30;  // bytes asked of one call, below every system's limit
}  // namespace

int64_t fileSize(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throwOs(errno);
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

size_t readAt(int fd, int64_t offset, void* dst, size_t n) {
    if (offset < 0) throwOs(EINVAL);
    if (n > kMaxCall) n = kMaxCall;
    if (!reachable(offset, n)) return 0;
    for (;;) {
        const ssize_t r = ::pread(fd, dst, n, static_cast<off_t>(offset));
        if (r >= 0) return static_cast<size_t>(r);
        if (errno != EINTR) throwOs(errno);
    }
}

size_t readScatter(int fd, int64_t offset, const Buffer* buffers, int count) {
    if (offset < 0) throwOs(EINVAL);
    static_assert(sizeof(Buffer) == sizeof(struct iovec));
    struct iovec iov[1024];
    if (count > kMaxBuffers) count = kMaxBuffers;
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        iov[i] = {buffers[i].data, buffers[i].size};
        total += buffers[i].size;
    }
    if (!reachable(offset, total)) return 0;
    for (;;) {
        const ssize_t r = ::preadv(fd, iov, count, static_cast<off_t>(offset));
        if (r >= 0) return static_cast<size_t>(r);
        if (errno != EINTR) throwOs(errno);
    }
}

const bool kSharedDescriptors = true;

intptr_t systemHandle(int fd) { return fd; }

int adopt(intptr_t fd) {
    // Positioned reads leave the shared position alone.
    if (fd < 0 || fd > INT_MAX) {
        errno = EBADF;
        return -1;
    }
    return ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
}

void close(int fd) { ::close(fd); }

int openForReading(const std::string& utf8Path) {
    int fd;
    do {
        fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

void binaryStandardOutput() {}

void* mapMemory(size_t length) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (length >= kHugePage) {
        // Map one huge page more than needed, then give back what lies
        // before the first 2 MiB boundary and after the block.
        if (length > SIZE_MAX - kHugePage) return nullptr;
        const size_t over = length + kHugePage;
        void* p = ::mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        const auto base = reinterpret_cast<uintptr_t>(p);
        const uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
        if (start > base) ::munmap(p, start - base);
        const uintptr_t end = base + over;
        if (end > start + length) ::munmap(reinterpret_cast<void*>(start + length), end - (start + length));
        // Advice only: without huge pages the memory is still good.
        ::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
        return reinterpret_cast<void*>(start);
    }
#endif
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void unmapMemory(void* p, size_t length) noexcept {
    if (p) ::munmap(p, length);
}

int64_t physicalMemory() noexcept {
#if defined(__APPLE__)
    uint64_t bytes = 0;
    size_t size = sizeof bytes;
    if (::sysctlbyname("hw.memsize", &bytes, &size, nullptr, 0) == 0 && bytes > 0 &&
        bytes <= static_cast<uint64_t>(INT64_MAX))
        return static_cast<int64_t>(bytes);
    return INT64_MAX;
#else
    const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0 || pages > INT64_MAX / size) return INT64_MAX;
    return static_cast<int64_t>(pages) * size;
#endif
}

void atFork(void (*prepare)(), void (*parent)(), void (*child)()) { ::pthread_atfork(prepare, parent, child); }

}  // namespace ixar::platform
