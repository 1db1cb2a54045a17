// Error kinds of the enclave and the one result type every core function
// returns. Internal faults are not error kinds: they are thrown as `Fault`
// and surface in Python as PanicException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace qv {

// Declaration order is part of the contract; do not reorder.
enum class ErrorKind : std::uint8_t {
    Wiped,
    ForkedChild,
    LockRequired,
    AllocationFailed,
    EmptySecret,
    BadLength,
    InvalidKey,
    OpenFailed,
    StreamFinished,
    Malformed,
    RngFailed,
    LockPoisoned,
    Unsupported,
};

struct Error {
    ErrorKind kind;
    const char* what = nullptr;  // BadLength, Malformed, Unsupported: a static text
    std::size_t expected = 0;    // BadLength
    std::size_t got = 0;         // BadLength
    std::int32_t err_no = 0;     // LockRequired

    constexpr Error(ErrorKind k) noexcept : kind(k) {}  // NOLINT: implicit on purpose

    static constexpr Error bad_length(const char* what, std::size_t expected, std::size_t got) noexcept {
        Error e(ErrorKind::BadLength);
        e.what = what;
        e.expected = expected;
        e.got = got;
        return e;
    }
    static constexpr Error malformed(const char* what) noexcept {
        Error e(ErrorKind::Malformed);
        e.what = what;
        return e;
    }
    static constexpr Error unsupported(const char* what) noexcept {
        Error e(ErrorKind::Unsupported);
        e.what = what;
        return e;
    }
    static constexpr Error lock_required(std::int32_t err_no) noexcept {
        Error e(ErrorKind::LockRequired);
        e.err_no = err_no;
        return e;
    }

    // `what` texts compare by content: identical literals need not share storage.
    friend bool operator==(const Error& a, const Error& b) noexcept {
        const bool same_what = a.what == b.what || (a.what != nullptr && b.what != nullptr && std::strcmp(a.what, b.what) == 0);
        return a.kind == b.kind && same_what && a.expected == b.expected && a.got == b.got && a.err_no == b.err_no;
    }
};

// The bilingual message of an error, English first, " · " between the halves.
std::string render(const Error& error);

// An internal fault: a broken invariant or an impossible state. Thrown, never
// returned; the binding turns it into PanicException with this text.
class Fault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fault(const char* text);

}  // namespace qv
