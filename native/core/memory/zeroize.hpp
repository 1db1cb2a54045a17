// Zeroing that the optimiser cannot remove, and the heap buffer that every
// temporary copy of secret bytes outside a locked region must live in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

// Overwrites [p, p + n) with zeros. The stores are never elided, even when
// the memory is freed right afterwards.
void secure_zero(void* p, std::size_t n) noexcept;

// A heap byte buffer whose whole capacity is zeroed before it is freed, on
// every path. Move-only; a moved-from buffer is empty.
class ZeroizingBuffer {
public:
    ZeroizingBuffer() noexcept = default;
    explicit ZeroizingBuffer(std::size_t size);  // zero-filled
    explicit ZeroizingBuffer(std::span<const std::uint8_t> bytes);
    ZeroizingBuffer(ZeroizingBuffer&& other) noexcept;
    ZeroizingBuffer& operator=(ZeroizingBuffer&& other) noexcept;
    ZeroizingBuffer(const ZeroizingBuffer&) = delete;
    ZeroizingBuffer& operator=(const ZeroizingBuffer&) = delete;
    ~ZeroizingBuffer();

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<std::uint8_t> span() noexcept { return {data_, size_}; }
    std::span<const std::uint8_t> span() const noexcept { return {data_, size_}; }
    std::uint8_t& operator[](std::size_t i) noexcept { return data_[i]; }
    const std::uint8_t& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Grows or shrinks the used length. Growing past the capacity moves the
    // bytes to a larger allocation and zeroes the old one; new bytes are zero.
    void resize(std::size_t size);
    void append(std::span<const std::uint8_t> bytes);
    void push_back(std::uint8_t byte) { append({&byte, 1}); }
    // Zeroes the whole capacity and sets the length to 0; keeps the allocation.
    void clear() noexcept;

private:
    void reserve(std::size_t capacity);
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace qv
