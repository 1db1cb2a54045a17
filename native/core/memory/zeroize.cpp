#include "memory/zeroize.hpp"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

namespace qv {

void secure_zero(void* p, std::size_t n) noexcept {
    // OPENSSL_cleanse calls memset through a volatile function pointer, so the
    // stores survive dead-store elimination; it is word-wide and fast on
    // large areas.
    if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
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
        ::operator delete(data_);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void ZeroizingBuffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* fresh = static_cast<std::uint8_t*>(::operator new(capacity));
    std::memset(fresh, 0, capacity);
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
