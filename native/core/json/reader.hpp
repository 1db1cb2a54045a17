// A strict RFC 8259 reader for small JSON records held in secret memory.
//
// It builds no document tree and never recurses: the record level (the
// members of the top-level object, or the elements of the top-level array)
// is read by a loop that hands each value to a visitor as it is met, and
// every nested value is checked and skipped by the scans of json/scan.hpp,
// which keep their own stack of open brackets (a bit per level). Parsing a
// record therefore takes a small, fixed amount of native stack and at most
// a bit per byte of heap, whatever its depth. Accepted: exactly one object
// or array, JSON white space around it and nothing else (a NUL byte or a
// second value after it fails); UTF-8 validated inside strings; lone
// surrogate escapes refused; no comments, no trailing commas, no
// NaN/Infinity. Numbers are checked by the grammar and passed as written,
// so any exponent is accepted; the visitor decides what it reads.
// Escapes in the strings a visitor reads are resolved by Boost.JSON's
// basic_parser (read_string, text_equals); the stack it used is zeroed
// before they return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/result.hpp"
#include "memory/zeroize.hpp"

namespace qv::json {

enum class Kind : std::uint8_t { String, Number, True, False, Null, Object, Array };

// One value at record level: a member value of the top-level object or an
// element of the top-level array.
struct Item {
    Kind kind;
    // String: the text between the quotes exactly as written (checked, escapes
    // not resolved: see read_string). Number: the number exactly as written.
    // Empty for the other kinds; an Object or Array item is reported once,
    // when it opens, and its contents are skipped unstored. Always a view into
    // the input.
    std::string_view text;
};

// Receives the record level of one document, in document order. Any callback
// may return false to reject the document. Texts passed in are views into
// the input, with escapes unresolved; copy secret text that must outlive the
// input into a ZeroizingBuffer with read_string.
//
// Example: a record that is an object with members "id" (string) and "n"
// (integer), or the array ["id", n]:
//
//   struct Rec final : json::RecordVisitor {
//       bool begin(json::Kind top) override { array = top == json::Kind::Array; return true; }
//       bool member(std::string_view name) override { n_next = json::text_equals(name, "n"); return true; }
//       bool item(const json::Item& it) override {
//           const bool is_n = array ? index == 1 : n_next;
//           ++index;
//           if (is_n) return it.kind == json::Kind::Number && json::parse_int64(it.text, n);
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
    // Object form only: the name of the member whose value comes next, as
    // written between its quotes. A name given twice is reported twice.
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
// visitor refuses it. The parser's own error text is never shown. Throws
// std::bad_alloc when the bracket stack of a very deep value cannot grow.
Status read_record(std::span<const std::uint8_t> text, RecordVisitor& visitor, const char* what,
                   std::size_t max_depth);

// String text passed by read_record (a view into its input, between the
// quotes): `wanted` equals it once escapes are resolved.
bool text_equals(std::string_view text, std::string_view wanted);

// Appends the string text passed by read_record, escapes resolved, to
// `out`; room for it is made once. False only if the parser refuses text
// the reader accepted.
bool read_string(std::string_view text, ZeroizingBuffer& out);
bool read_string(std::string_view text, std::string& out);

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
