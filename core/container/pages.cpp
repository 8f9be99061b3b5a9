#include "pages.hpp"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

#include <algorithm>

#include "platform/platform.hpp"

namespace ixar {

namespace {

using platform::kHugePage;
constexpr size_t kPage = platform::kPageSize;
constexpr size_t kWorkingMin = 128 * 1024;
// Released mappings kept for the next read, as malloc keeps freed memory:
// repeated reads then reuse memory that is already faulted in. Working
// memory released in the middle of a read (the tables that planning needed)
// is kept only up to a little, so that it adds little to the read's peak.
constexpr size_t kKeptResultBytes = size_t{64} << 20;
constexpr size_t kKeptWorkingBytes = size_t{8} << 20;
constexpr size_t kKeptBlocks = 32;

// Under AddressSanitizer every buffer comes from malloc, whose bounds it
// checks; it knows nothing of these mappings.
constexpr bool kPlain = kAddressSanitizer;

size_t roundUp(size_t n, size_t to) noexcept { return (n + to - 1) / to * to; }

// Length of the mapping for `bytes`: whole huge pages when that adds at
// most half of it, or for working memory from 512 KiB on (it is freed when
// the read ends); else whole small pages (huge pages then serve the 2 MiB
// ranges it covers whole). 0 when it overflows.
size_t mappedLength(size_t bytes, bool working) noexcept {
    if (bytes > SIZE_MAX / 2) return 0;
    const size_t whole = roundUp(bytes, kHugePage);
    return whole - bytes <= bytes / 2 || (working && bytes >= 512 * 1024) ? whole : roundUp(bytes, kPage);
}

unsigned char* mapAligned(size_t length) {
    void* p = platform::mapMemory(length);
    if (!p) throw std::bad_alloc();
    return static_cast<unsigned char*>(p);
}

class Kept {
public:
    explicit Kept(size_t most) : most_(most) {}

    // Around fork(): a child must not inherit the lock held by a thread
    // that does not exist in it.
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

    // A kept mapping of at least `length` and at most `most` bytes (the
    // smallest such), or null.
    unsigned char* take(size_t length, size_t most, size_t& got) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t best = count_;
        for (size_t i = 0; i < count_; ++i)
            if (blocks_[i].length >= length && blocks_[i].length <= most &&
                (best == count_ || blocks_[i].length < blocks_[best].length))
                best = i;
        if (best == count_) return nullptr;
        const Block b = blocks_[best];
        blocks_[best] = blocks_[--count_];
        bytes_ -= b.length;
        got = b.length;
        return b.data;
    }
    void give(unsigned char* data, size_t length) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (length <= most_) {
                // Room for it: the oldest kept mappings go first.
                while (count_ && (count_ == kKeptBlocks || bytes_ + length > most_)) {
                    platform::unmapMemory(blocks_[0].data, blocks_[0].length);
                    bytes_ -= blocks_[0].length;
                    for (size_t i = 1; i < count_; ++i) blocks_[i - 1] = blocks_[i];
                    --count_;
                }
                blocks_[count_++] = {data, length};
                bytes_ += length;
                return;
            }
        }
        platform::unmapMemory(data, length);
    }

private:
    struct Block {
        unsigned char* data;
        size_t length;
    };
    const size_t most_;
    std::mutex mutex_;
    Block blocks_[kKeptBlocks];
    size_t count_ = 0, bytes_ = 0;
};

// Never destroyed: blocks may be released while the process exits.
Kept* makeKept(size_t most);

Kept& keptResults() {
    static Kept* k = makeKept(kKeptResultBytes);
    return *k;
}
Kept& keptWorking() {
    static Kept* k = makeKept(kKeptWorkingBytes);
    return *k;
}

Kept* makeKept(size_t most) {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::atFork([] { keptResults().lock(), keptWorking().lock(); },
                         [] { keptWorking().unlock(), keptResults().unlock(); },
                         [] { keptWorking().unlock(), keptResults().unlock(); });
    });
    return new Kept(most);
}

}  // namespace

PageBlock::PageBlock(size_t bytes) {
    if (kPlain) {
        length_ = bytes ? bytes : 1;
        if (!(data_ = static_cast<unsigned char*>(std::calloc(length_, 1)))) throw std::bad_alloc();
        return;
    }
    const size_t length = mappedLength(bytes ? bytes : 1, false);
    if (!length) throw std::bad_alloc();
    size_t got = 0;
    if ((data_ = keptResults().take(length, length + length / 4, got))) {
        length_ = got;
        zeroed_ = false;
    } else {
        data_ = mapAligned(length);
        length_ = length;
    }
}

PageBlock::~PageBlock() {
    if (kPlain) std::free(data_);
    else if (data_) keptResults().give(data_, length_);
}

int64_t machineMemory() noexcept {
    static const int64_t bytes = [] {
        const int64_t memory = platform::physicalMemory();
        return kAddressSanitizer ? std::min<int64_t>(memory, int64_t{256} << 20) : memory;
    }();
    return bytes;
}

void* allocatePages(size_t bytes) {
    if (kPlain || bytes < kWorkingMin) {
        void* p = std::malloc(bytes ? bytes : 1);
        if (!p) throw std::bad_alloc();
        return p;
    }
    const size_t length = mappedLength(bytes, true);
    if (!length) throw std::bad_alloc();
    size_t got = 0;
    if (unsigned char* p = keptWorking().take(length, length, got)) return p;
    return mapAligned(length);
}

void freePages(void* p, size_t bytes) noexcept {
    if (!p) return;
    if (kPlain || bytes < kWorkingMin) std::free(p);
    else keptWorking().give(static_cast<unsigned char*>(p), mappedLength(bytes, true));
}

}  // namespace ixar
