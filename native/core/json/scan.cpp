#include "json/scan.hpp"

#include <cstring>

#include "memory/zeroize.hpp"

namespace qv::json {

namespace {

bool is_digit(std::uint8_t c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(std::uint8_t c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits after "\u", `p` at the "u"; -1 when they are not.
long unicode_escape(Cursor p, Cursor end) noexcept {
    if (end - p < 5) return -1;
    long v = 0;
    for (int i = 1; i <= 4; ++i) {
        const int h = hex_value(p[i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// One UTF-8 sequence starting with a byte >= 0x80 (RFC 3629 section 4).
Cursor scan_utf8(Cursor p, Cursor end) noexcept {
    const std::uint8_t c = *p;
    std::uint8_t lo = 0x80, hi = 0xBF;
    int tail;
    if (c >= 0xC2 && c <= 0xDF) {
        tail = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        tail = 2;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // U+D800..U+DFFF
    } else if (c >= 0xF0 && c <= 0xF4) {
        tail = 3;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return nullptr;
    }
    if (end - p <= tail) return nullptr;
    if (p[1] < lo || p[1] > hi) return nullptr;
    for (int i = 2; i <= tail; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) return nullptr;
    }
    return p + 1 + tail;
}

// Where each open container is an object (1) or an array (0): the first 64
// levels in a word, deeper ones in zeroed heap memory that grows by doubling.
class BracketStack {
public:
    std::size_t depth() const noexcept { return depth_; }
    bool top_is_object() const noexcept { return bit(depth_ - 1); }
    void push(bool object) {
        const std::size_t i = depth_++;
        if (i < 64) {
            word_ = object ? (word_ | (std::uint64_t{1} << i)) : (word_ & ~(std::uint64_t{1} << i));
            return;
        }
        const std::size_t byte = (i - 64) / 8;
        if (byte == deep_.size()) deep_.push_back(0);
        const auto mask = static_cast<std::uint8_t>(1U << ((i - 64) % 8));
        deep_[byte] = static_cast<std::uint8_t>(object ? (deep_[byte] | mask) : (deep_[byte] & ~mask));
    }
    void pop() noexcept { --depth_; }

private:
    bool bit(std::size_t i) const noexcept {
        if (i < 64) return (word_ >> i) & 1U;
        return (deep_[(i - 64) / 8] >> ((i - 64) % 8)) & 1U;
    }

    std::uint64_t word_ = 0;
    std::size_t depth_ = 0;
    ZeroizingBuffer deep_;
};

}  // namespace

Cursor skip_space(Cursor p, Cursor end) noexcept {
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    return p;
}

Cursor skip_colon(Cursor p, Cursor end) noexcept {
    p = skip_space(p, end);
    return p != end && *p == ':' ? skip_space(p + 1, end) : nullptr;
}

Cursor scan_string(Cursor p, Cursor end, bool& escaped) noexcept {
    escaped = false;
    if (p == end || *p != '"') return nullptr;
    ++p;
    while (p != end) {
        const std::uint8_t c = *p;
        if (c == '"') return p + 1;
        if (c < 0x20) return nullptr;
        if (c < 0x80 && c != '\\') {
            ++p;
            continue;
        }
        if (c >= 0x80) {
            p = scan_utf8(p, end);
            if (p == nullptr) return nullptr;
            continue;
        }
        escaped = true;
        if (end - p < 2) return nullptr;
        switch (p[1]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                p += 2;
                continue;
            case 'u':
                break;
            default:
                return nullptr;
        }
        const long unit = unicode_escape(p + 1, end);
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return nullptr;  // bad hex; low half alone
        p += 6;
        if (unit >= 0xD800 && unit <= 0xDBFF) {  // a high half needs its low half next
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return nullptr;
            const long low = unicode_escape(p + 1, end);
            if (low < 0xDC00 || low > 0xDFFF) return nullptr;
            p += 6;
        }
    }
    return nullptr;
}

Cursor scan_number(Cursor p, Cursor end) noexcept {
    if (p != end && *p == '-') ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    if (*p++ != '0') {
        while (p != end && is_digit(*p)) ++p;
    }
    if (p != end && *p == '.') {
        ++p;
        if (p == end || !is_digit(*p)) return nullptr;
        while (p != end && is_digit(*p)) ++p;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return nullptr;
        while (p != end && is_digit(*p)) ++p;
    }
    return p;
}

Cursor scan_literal(Cursor p, Cursor end) noexcept {
    for (const char* word : {"true", "false", "null"}) {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(end - p) >= n && std::memcmp(p, word, n) == 0) return p + n;
    }
    return nullptr;
}

namespace {

// A member's name and its colon: the start of the member's value, or nullptr.
Cursor scan_member_name(Cursor p, Cursor end, bool& escaped) noexcept {
    p = scan_string(p, end, escaped);
    return p == nullptr ? nullptr : skip_colon(p, end);
}

}  // namespace

Cursor skip_value(Cursor p, Cursor end, std::size_t max_depth) {
    BracketStack open;
    bool escaped;
    // Each turn reads one value at `p`, then the separators after it up to
    // the start of the next value, closing containers on the way.
    for (;;) {
        if (p == end) return nullptr;
        const std::uint8_t c = *p;
        if (c == '{' || c == '[') {
            if (open.depth() == max_depth) return nullptr;
            open.push(c == '{');
            p = skip_space(p + 1, end);
            if (p != end && *p == (c == '{' ? '}' : ']')) {
                open.pop();
                ++p;
            } else if (c == '{') {
                p = scan_member_name(p, end, escaped);
                if (p == nullptr) return nullptr;
                continue;
            } else {
                continue;
            }
        } else if (c == '"') {
            p = scan_string(p, end, escaped);
        } else if (c == '-' || is_digit(c)) {
            p = scan_number(p, end);
        } else {
            p = scan_literal(p, end);
        }
        if (p == nullptr) return nullptr;
        // After a value: close what ends here, or find the next value.
        for (;;) {
            if (open.depth() == 0) return p;
            p = skip_space(p, end);
            if (p == end) return nullptr;
            const bool object = open.top_is_object();
            if (*p == (object ? '}' : ']')) {
                open.pop();
                ++p;
                continue;
            }
            if (*p != ',') return nullptr;
            p = skip_space(p + 1, end);
            if (object) {
                p = scan_member_name(p, end, escaped);
                if (p == nullptr) return nullptr;
            }
            break;
        }
    }
}

}  // namespace qv::json
