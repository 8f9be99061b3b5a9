// Large buffers in transparent huge pages.
//
// The first touch of fresh memory costs a page fault per 4 KiB page, and on
// virtual machines a fault costs microseconds: for a large result that is
// several times what reading its bytes from the page cache costs. Memory
// mapped 2 MiB-aligned with huge pages requested takes one fault per 2 MiB.
// These are anonymous private mappings, never views of a file, so a file
// cut short cannot turn a touch of them into SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace ixar {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IXAR_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define IXAR_ADDRESS_SANITIZER 1
#endif
// Whether this is a build with AddressSanitizer.
#ifdef IXAR_ADDRESS_SANITIZER
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// The machine's memory, which no plan may need more of (asked once: it costs
// a system call). AddressSanitizer poisons every allocation whole when it
// is made and freed, which for the arrays of many GB that a small file may
// describe takes from seconds to minutes: its builds (tests, fuzzing) plan
// within 256 MiB.
int64_t machineMemory() noexcept;

// Results of at least this size take a block of huge pages.
inline constexpr size_t kHugeMin = size_t{2} << 20;

// An anonymous mapping of at least `bytes`, 2 MiB-aligned, with huge pages
// requested. Its length is rounded up to whole huge pages when that adds at
// most half of it, so that its end uses them too. Released blocks are
// kept (64 MiB at most) for later ones, which then are not zero-filled.
// Throws std::bad_alloc.
class PageBlock {
public:
    explicit PageBlock(size_t bytes);
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;
    ~PageBlock();

    unsigned char* data() const noexcept { return data_; }
    size_t size() const noexcept { return length_; }
    // Fresh memory, all zero; false for a reused block.
    bool zeroed() const noexcept { return zeroed_; }

private:
    unsigned char* data_ = nullptr;
    size_t length_ = 0;
    bool zeroed_ = true;
};

// Working memory of a read, which lives only as long as the call: from
// 128 KiB on (where malloc would map fresh memory too) mapped here and kept
// for reuse like PageBlock, and in huge pages like it (zeroing one costs
// about what faulting in 64 small pages does); from malloc below.
void* allocatePages(size_t bytes);
void freePages(void* p, size_t bytes) noexcept;

// For containers that may grow large (per-record lists of a data set).
template <class T>
struct PageAllocator {
    using value_type = T;
    PageAllocator() noexcept = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocatePages(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { freePages(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const PageAllocator<U>&) const noexcept { return true; }
};
template <class T>
using PageVector = std::vector<T, PageAllocator<T>>;

// Working memory for values that are written before they are read, so
// not cleared first.
template <class T>
class PageBuffer {
public:
    PageBuffer() = default;
    explicit PageBuffer(size_t n) { ensure(n); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer() { release(); }

    // Room for at least n values (what they held is not kept when it grows).
    T* ensure(size_t n) {
        if (!p_ || n > n_) {
            release();
            p_ = PageAllocator<T>().allocate(n);
            n_ = n;
        }
        return p_;
    }
    T* data() const noexcept { return p_; }

private:
    void release() noexcept {
        if (p_) PageAllocator<T>().deallocate(std::exchange(p_, nullptr), n_);
    }
    T* p_ = nullptr;
    size_t n_ = 0;
};

}  // namespace ixar
