// A strict RFC 8259 reader for small JSON records held in secret memory.
//
// It runs Boost.JSON's SAX parser over the caller's buffer and builds no
// document tree: the values one level below the top-level object or array
// are handed to a visitor as they are read, deeper values are parsed for
// validity and dropped. Accepted: exactly one object or array, JSON white
// space around it and nothing else (a NUL byte or a second value after it
// fails); UTF-8 validated inside strings; escapes resolved, lone surrogate
// escapes refused; no comments, no trailing commas, no NaN/Infinity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "error/result.hpp"
#include "memory/zeroize.hpp"

namespace qv::json {

enum class Kind : std::uint8_t { String, Number, True, False, Null, Object, Array };

// One value at record level: a member value of the top-level object or an
// element of the top-level array.
struct Item {
    Kind kind;
    // String: the text with escapes resolved (valid UTF-8). Number: the number
    // exactly as written. Empty for the other kinds; an Object or Array item is
    // reported once, when it opens, and its contents are skipped unstored.
    std::string_view text;
    // True when `text` points into the input buffer, so it stays valid as long
    // as the input does; otherwise it is valid only during the callback (it
    // sits in scratch memory that is zeroed afterwards).
    bool in_input;
};

// Receives the record level of one document, in document order. Any callback
// may return false to reject the document. Views passed in follow the rule of
// Item::in_input; copy secret text that must outlive them into a
// ZeroizingBuffer.
//
// Example: a record that is an object with members "id" (string) and "n"
// (integer), or the array ["id", n]:
//
//   struct Rec final : json::RecordVisitor {
//       bool begin(json::Kind top) override { array = top == json::Kind::Array; return true; }
//       bool member(std::string_view name) override { current = name; return true; }
//       bool item(const json::Item& it) override {
//           std::string_view field = array ? (index == 0 ? "id" : "n") : current;
//           ++index;
//           if (field == "n") return it.kind == json::Kind::Number && json::parse_int64(it.text, n);
//           ...
//       }
//       bool end(std::size_t count) override { return !array || count == 2; }
//   };
//   Rec rec;
//   QV_CHECK(json::read_record(plaintext.span(), rec, "my record", json::kAnyDepth));
class RecordVisitor {
public:
    // The top-level value opens: Kind::Object or Kind::Array. A top-level
    // scalar is refused before any callback.
    virtual bool begin(Kind top) = 0;
    // Object form only: the name of the member whose value comes next, escapes
    // resolved. A name given twice is reported twice.
    virtual bool member(std::string_view name) = 0;
    virtual bool item(const Item& item) = 0;
    // The top-level value closed after `count` members or elements.
    virtual bool end(std::size_t count) = 0;

protected:
    ~RecordVisitor() = default;
};

// Nesting limits, counting the top-level value as level 1.
inline constexpr std::size_t kFieldMaxDepth = 127;
// No limit: records whose skipped members may nest as deeply as memory allows.
inline constexpr std::size_t kAnyDepth = static_cast<std::size_t>(-1);

// Reads one document; Malformed(what) when it is not valid JSON, nests deeper
// than max_depth, has anything but white space after the value, or the
// visitor refuses it. The parser's own error text is never shown.
// The parser recurses once per nesting level on the native stack: a document
// nested more deeply than a thread's stack safely holds is parsed on a stack
// of its own, sized to the document, so any depth is read without overflow.
// Running out of memory for that stack throws std::bad_alloc.
Status read_record(std::span<const std::uint8_t> text, RecordVisitor& visitor, const char* what,
                   std::size_t max_depth);

// The integer written as `text` (a JSON number's raw text): optional minus,
// digits, no fraction, no exponent, within the signed 64-bit range.
bool parse_int64(std::string_view text, std::int64_t& out) noexcept;

// A string member taken out of a document: a view into the input when the
// text needed no unescaping, otherwise into `owned`.
struct StringMember {
    std::string_view text;
    ZeroizingBuffer owned;
};

// The value of the member `name` (compared byte for byte after escapes are
// resolved) of a document that must be exactly one object nested at most
// kFieldMaxDepth levels; the last of duplicate members counts. The whole
// document is read before the member is looked at.
// Malformed("json object") for a bad document; Malformed("json field") when
// the member is absent or its value is not a string.
Result<StringMember> find_string_member(std::span<const std::uint8_t> text, std::string_view name);

}  // namespace qv::json
