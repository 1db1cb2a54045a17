#include "memory/zeroize.hpp"

#include <bit>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace qv {

namespace {

// Large staging buffers (argument copies of big messages) live in whole-page
// mappings that each thread keeps a few of for reuse. From the C heap, glibc
// hands blocks this large back to the system on free (mmap threshold, heap
// trimming), so every call faulted in fresh pages again: for a 1 MiB argument
// that cost more than the cipher pass itself. Every cached block is entirely
// zero: a fresh mapping is, a buffer only writes below its capacity, and it
// zeroes all of its capacity before the block goes back.
//
// Under AddressSanitizer the heap is kept, so that its bounds checks still
// cover the staging buffers.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kStagingCache = false;
#else
constexpr bool kStagingCache = true;
#endif
constexpr std::size_t kLargeBytes = std::size_t{32} << 10;
constexpr std::size_t kMaxCachedBlock = std::size_t{8} << 20;
constexpr std::size_t kMaxCachedTotal = std::size_t{16} << 20;
constexpr std::size_t kSlots = 4;

bool is_large(std::size_t capacity) noexcept { return kStagingCache && capacity >= kLargeBytes; }

// The mapping behind a large capacity: a power of two up to the largest
// cached size (so blocks are reused across nearby sizes), whole pages above.
std::size_t block_bytes(std::size_t capacity) noexcept {
    if (capacity <= kMaxCachedBlock) return std::bit_ceil(capacity);
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (capacity + page - 1) / page * page;
}

// Plain data, so it stays usable however thread-exit destructors are
// ordered; the Reaper below unmaps the blocks when the thread ends.
struct StagingCache {
    struct Block {
        void* p;
        std::size_t bytes;
    };
    Block slots[kSlots];
    std::size_t count;
    std::size_t total;
    bool closed;  // the thread is ending: nothing more is kept

    // A zeroed block of exactly `bytes`, or nullptr when none is cached.
    void* take(std::size_t bytes) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            if (slots[i].bytes != bytes) continue;
            void* p = slots[i].p;
            slots[i] = slots[--count];
            total -= bytes;
            return p;
        }
        return nullptr;
    }

    void drop_all() noexcept {
        for (std::size_t i = 0; i < count; ++i) munmap(slots[i].p, slots[i].bytes);
        count = total = 0;
    }
};

thread_local StagingCache staging_cache{};

struct Reaper {
    Reaper() noexcept {}  // user-provided: its destructor is registered on first use
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;
    ~Reaper() {
        staging_cache.drop_all();
        staging_cache.closed = true;
    }
    void arm() noexcept {}
};

thread_local Reaper reaper;

// Keeps a zeroed block for reuse; false when it is not wanted.
bool keep(void* p, std::size_t bytes) noexcept {
    StagingCache& c = staging_cache;
    if (c.closed || bytes > kMaxCachedBlock || c.count == kSlots || c.total + bytes > kMaxCachedTotal) return false;
    reaper.arm();
    c.slots[c.count++] = {p, bytes};
    c.total += bytes;
    return true;
}

std::uint8_t* allocate_large(std::size_t capacity) {
    const std::size_t bytes = block_bytes(capacity);
    if (void* p = staging_cache.take(bytes)) return static_cast<std::uint8_t*>(p);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_DONTDUMP
    madvise(p, bytes, MADV_DONTDUMP);  // best effort: staging stays out of core files
#endif
    return static_cast<std::uint8_t*>(p);
}

// `p` must already be zeroed up to `capacity`.
void release_large(std::uint8_t* p, std::size_t capacity) noexcept {
    const std::size_t bytes = block_bytes(capacity);
    if (!keep(p, bytes)) munmap(p, bytes);
}

}  // namespace

void secure_zero(void* p, std::size_t n) noexcept {
    if (p == nullptr || n == 0) return;
    // The C library's memset (vector stores), then a compiler barrier that
    // claims to read the memory, so the stores survive dead-store elimination
    // even when the memory is freed right afterwards (glibc's explicit_bzero
    // is built the same way). OPENSSL_cleanse stores one word at a time: on
    // large staging buffers it cost more than the copy that filled them.
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

ZeroizingBuffer::ZeroizingBuffer(std::size_t size) {
    reserve(size);
    size_ = size;
}

ZeroizingBuffer::ZeroizingBuffer(std::span<const std::uint8_t> bytes) : ZeroizingBuffer(bytes.size()) {
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
}

ZeroizingBuffer::ZeroizingBuffer(ZeroizingBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

ZeroizingBuffer& ZeroizingBuffer::operator=(ZeroizingBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

ZeroizingBuffer::~ZeroizingBuffer() { release(); }

void ZeroizingBuffer::release() noexcept {
    if (data_ != nullptr) {
        secure_zero(data_, capacity_);
        if (is_large(capacity_)) {
            release_large(data_, capacity_);
        } else {
            ::operator delete(data_);
        }
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void ZeroizingBuffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    std::uint8_t* fresh = nullptr;
    if (is_large(capacity)) {
        fresh = allocate_large(capacity);  // already zero
    } else {
        fresh = static_cast<std::uint8_t*>(::operator new(capacity));
        std::memset(fresh, 0, capacity);
    }
    if (size_ != 0) std::memcpy(fresh, data_, size_);
    const std::size_t size = size_;
    release();
    data_ = fresh;
    size_ = size;
    capacity_ = capacity;
}

void ZeroizingBuffer::resize(std::size_t size) {
    if (size > capacity_) reserve(size);
    if (size < size_) secure_zero(data_ + size, size_ - size);
    size_ = size;
}

void ZeroizingBuffer::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    const std::size_t need = size_ + bytes.size();
    if (need > capacity_) reserve(need < 2 * capacity_ ? 2 * capacity_ : need);
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ = need;
}

void ZeroizingBuffer::clear() noexcept {
    secure_zero(data_, capacity_);
    size_ = 0;
}

}  // namespace qv
