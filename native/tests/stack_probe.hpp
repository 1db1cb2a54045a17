// Runs a function on a thread whose stack is a fresh mapping painted with a
// pattern (a guard page below it), so that a test can tell how deep the
// function went and what it left behind on the stack once it returned.
#pragma once

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <stdexcept>

namespace qv::test {

class PaintedStack {
public:
    static constexpr std::uint8_t kPaint = 0xA5;

    explicit PaintedStack(std::size_t bytes) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
        size_ = (bytes + page_ - 1) / page_ * page_;
        base_ = mmap(nullptr, size_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
        mprotect(base_, page_, PROT_NONE);
    }
    ~PaintedStack() { munmap(base_, size_ + page_); }
    PaintedStack(const PaintedStack&) = delete;
    PaintedStack& operator=(const PaintedStack&) = delete;

    // Runs `fn` on the painted stack; the deepest bytes of it that were written.
    std::size_t run(std::function<void()> fn) {
        std::memset(stack(), kPaint, size_);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, stack(), size_);
        pthread_t t;
        const int made = pthread_create(
            &t, &attr, [](void* f) -> void* { (*static_cast<std::function<void()>*>(f))(); return nullptr; }, &fn);
        pthread_attr_destroy(&attr);
        if (made != 0) throw std::runtime_error("pthread_create");
        pthread_join(t, nullptr);
        const std::uint8_t* first =
            std::find_if(stack(), stack() + size_, [](std::uint8_t b) { return b != kPaint; });
        return static_cast<std::size_t>(stack() + size_ - first);
    }

    // Whether the stack, as the last run left it, holds `needle` anywhere.
    bool holds(std::span<const std::uint8_t> needle) const {
        const std::uint8_t* begin = stack();
        const std::uint8_t* end = begin + size_;
        return std::search(begin, end, needle.data(), needle.data() + needle.size()) != end;
    }

private:
    std::uint8_t* stack() const { return static_cast<std::uint8_t*>(base_) + page_; }

    std::size_t page_;
    std::size_t size_;
    void* base_;
};

}  // namespace qv::test
