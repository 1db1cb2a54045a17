// Validating scans of JSON text (RFC 8259) that convert nothing.
//
// Each scan checks the grammar of one token or value starting at `p` and
// returns the position just past it, or nullptr when the text there is not
// one. None of them recurses: skip_value walks nested values of any depth
// with its own stack of open brackets, one bit per level, so a value costs
// at most a bit of memory per byte of text and a small fixed amount of
// native stack. Nothing read is copied except that bit stack, which lives in
// a ZeroizingBuffer (it records only the shape of secret text, but the
// shape is secret too).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::json {

using Cursor = const std::uint8_t*;

// Past any JSON white space (space, tab, line feed, carriage return).
Cursor skip_space(Cursor p, Cursor end) noexcept;

// A string: `p` at its opening quote. Refuses control characters, unknown
// escapes, \u escapes that are not 4 hex digits, lone or inverted surrogate
// escapes, and text that is not UTF-8 (RFC 3629: no overlong forms, no
// encoded surrogates, nothing above U+10FFFF). Sets `escaped` when the text
// holds a backslash.
Cursor scan_string(Cursor p, Cursor end, bool& escaped) noexcept;

// After a member's name: past the white space, the colon and the white space
// that follow it, at the start of the member's value; nullptr without a colon.
Cursor skip_colon(Cursor p, Cursor end) noexcept;

// A number by the grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
// Any number of digits anywhere: nothing is converted.
Cursor scan_number(Cursor p, Cursor end) noexcept;

// true, false or null.
Cursor scan_literal(Cursor p, Cursor end) noexcept;

// One whole value of any kind. A container may nest at most `max_depth`
// levels, itself counting as level 1. May throw std::bad_alloc for the bit
// stack of a deeply nested value.
Cursor skip_value(Cursor p, Cursor end, std::size_t max_depth);

}  // namespace qv::json
