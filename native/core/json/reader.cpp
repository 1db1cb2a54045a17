#include "json/reader.hpp"

#include <limits>

#include "json/scan.hpp"

// The parser resolves escapes through a buffer on its own stack frame, which
// read_string zeroes afterwards: keep that buffer small. Only this file
// instantiates the parser, for its own handler.
#define BOOST_JSON_STACK_BUFFER_SIZE 256
#include <boost/json/basic_parser_impl.hpp>

namespace qv::json {

namespace {

using boost::json::error_code;
using boost::json::string_view;

// Where the resolved text of one string goes, piece by piece.
class Sink {
public:
    virtual void put(string_view piece) = 0;

protected:
    ~Sink() = default;
};

// Takes a document that is one string and passes its text to the sink; any
// other document is refused.
class StringHandler {
public:
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

    explicit StringHandler(Sink& sink) noexcept : sink_(sink) {}

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_string_part(string_view s, std::size_t, error_code&) {
        sink_.put(s);
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code&) {
        sink_.put(s);
        return true;
    }

    bool on_object_begin(error_code& ec) { return fail(ec); }
    bool on_array_begin(error_code& ec) { return fail(ec); }
    bool on_object_end(std::size_t, error_code& ec) { return fail(ec); }
    bool on_array_end(std::size_t, error_code& ec) { return fail(ec); }
    bool on_key_part(string_view, std::size_t, error_code& ec) { return fail(ec); }
    bool on_key(string_view, std::size_t, error_code& ec) { return fail(ec); }
    bool on_number_part(string_view, error_code& ec) { return fail(ec); }
    bool on_int64(std::int64_t, string_view, error_code& ec) { return fail(ec); }
    bool on_uint64(std::uint64_t, string_view, error_code& ec) { return fail(ec); }
    bool on_double(double, string_view, error_code& ec) { return fail(ec); }
    bool on_bool(bool, error_code& ec) { return fail(ec); }
    bool on_null(error_code& ec) { return fail(ec); }
    bool on_comment_part(string_view, error_code& ec) { return fail(ec); }
    bool on_comment(string_view, error_code& ec) { return fail(ec); }

private:
    static bool fail(error_code& ec) {
        ec = boost::json::make_error_code(boost::json::error::syntax);
        return false;
    }

    Sink& sink_;
};

[[gnu::noinline]] bool run_parser(std::string_view text, Sink& sink) {
    boost::json::parse_options options;
    options.allow_comments = false;
    options.allow_trailing_commas = false;
    options.allow_invalid_utf8 = false;
    boost::json::basic_parser<StringHandler> parser(options, sink);
    // The quotes around the text are part of the input it was taken from.
    const char* quoted = text.data() - 1;
    const std::size_t size = text.size() + 2;
    error_code ec;
    const std::size_t used = parser.write_some(false, quoted, size, ec);
    return !ec && parser.done() && used == size;
}

// Stack the parser may use below the caller of run_parser (its frames and its
// escape buffer), measured by native/tests/json with room to spare.
constexpr std::size_t kParserStack = 2048;

// Zeroes the stack below the caller, where run_parser's frames were.
[[gnu::noinline]] void scrub_parser_stack() noexcept {
    unsigned char area[kParserStack];
    secure_zero(area, sizeof area);
    __asm__ volatile("" : : "r"(area) : "memory");
}

bool parse_string(std::string_view text, Sink& sink) {
    const bool ok = run_parser(text, sink);
    scrub_parser_stack();
    return ok;
}

std::span<const std::uint8_t> bytes(string_view s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Item scalar(Kind kind, Cursor from, Cursor to) {
    return {kind, {reinterpret_cast<const char*>(from), static_cast<std::size_t>(to - from)}};
}

// One value of the record level, `p` at its first character: reported to the
// visitor, then checked (a container is skipped whole). Past it, or nullptr.
Cursor record_value(Cursor p, Cursor end, RecordVisitor& visitor, std::size_t max_depth) {
    if (p == end) return nullptr;
    bool escaped;
    Cursor q;
    switch (*p) {
        case '{':
        case '[':
            if (!visitor.item({*p == '{' ? Kind::Object : Kind::Array, {}})) return nullptr;
            return skip_value(p, end, max_depth - 1);
        case '"':
            q = scan_string(p, end, escaped);
            return q != nullptr && visitor.item(scalar(Kind::String, p + 1, q - 1)) ? q : nullptr;
        case 't':
        case 'f':
        case 'n':
            q = scan_literal(p, end);
            if (q == nullptr) return nullptr;
            return visitor.item({*p == 't' ? Kind::True : *p == 'f' ? Kind::False : Kind::Null, {}}) ? q : nullptr;
        default:
            q = scan_number(p, end);
            return q != nullptr && visitor.item(scalar(Kind::Number, p, q)) ? q : nullptr;
    }
}

bool read(std::span<const std::uint8_t> text, RecordVisitor& visitor, std::size_t max_depth) {
    Cursor p = text.data();
    const Cursor end = p + text.size();
    p = skip_space(p, end);
    if (p == end || (*p != '{' && *p != '[')) return false;
    const bool object = *p == '{';
    const std::uint8_t close = object ? '}' : ']';
    if (!visitor.begin(object ? Kind::Object : Kind::Array)) return false;
    p = skip_space(p + 1, end);
    std::size_t count = 0;
    if (p != end && *p == close) {
        ++p;
    } else {
        for (;;) {
            if (object) {
                bool escaped;
                const Cursor name = p;
                p = scan_string(p, end, escaped);
                if (p == nullptr) return false;
                if (!visitor.member({reinterpret_cast<const char*>(name + 1), static_cast<std::size_t>(p - name - 2)}))
                    return false;
                p = skip_colon(p, end);
                if (p == nullptr) return false;
            }
            p = record_value(p, end, visitor, max_depth);
            if (p == nullptr) return false;
            ++count;
            p = skip_space(p, end);
            if (p == end) return false;
            if (*p == close) {
                ++p;
                break;
            }
            if (*p != ',') return false;
            p = skip_space(p + 1, end);
        }
    }
    if (!visitor.end(count)) return false;
    return skip_space(p, end) == end;
}

class AppendTo final : public Sink {
public:
    explicit AppendTo(ZeroizingBuffer& out) noexcept : out_(out) {}
    void put(string_view piece) override { out_.append(bytes(piece)); }

private:
    ZeroizingBuffer& out_;
};

class AppendToString final : public Sink {
public:
    explicit AppendToString(std::string& out) noexcept : out_(out) {}
    void put(string_view piece) override { out_.append(piece.data(), piece.size()); }

private:
    std::string& out_;
};

// Compares the pieces against `wanted` as they come; nothing is kept.
class Compare final : public Sink {
public:
    explicit Compare(std::string_view wanted) noexcept : wanted_(wanted) {}
    void put(string_view piece) override {
        if (!same_ || piece.size() > wanted_.size() - at_ ||
            std::string_view(piece.data(), piece.size()) != wanted_.substr(at_, piece.size())) {
            same_ = false;
            return;
        }
        at_ += piece.size();
    }
    bool equal() const noexcept { return same_ && at_ == wanted_.size(); }

private:
    std::string_view wanted_;
    std::size_t at_ = 0;
    bool same_ = true;
};

}  // namespace

Status read_record(std::span<const std::uint8_t> text, RecordVisitor& visitor, const char* what,
                   std::size_t max_depth) {
    if (!read(text, visitor, max_depth)) return Error::malformed(what);
    return {};
}

bool text_equals(std::string_view text, std::string_view wanted) {
    if (text.find('\\') == std::string_view::npos) return text == wanted;
    // Resolved text is never longer than its escaped form.
    if (wanted.size() > text.size()) return false;
    Compare compare(wanted);
    return parse_string(text, compare) && compare.equal();
}

bool read_string(std::string_view text, ZeroizingBuffer& out) {
    const std::size_t had = out.size();
    out.resize(had + text.size());  // the room, at once: resolved text is never longer
    out.resize(had);
    AppendTo sink(out);
    return parse_string(text, sink);
}

bool read_string(std::string_view text, std::string& out) {
    out.reserve(out.size() + text.size());
    AppendToString sink(out);
    return parse_string(text, sink);
}

bool parse_int64(std::string_view text, std::int64_t& out) noexcept {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    if (i == text.size()) return false;
    // Accumulate as a negative number: its range is one larger.
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        const int digit = c - '0';
        if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) return false;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<std::int64_t>::min()) return false;
        value = -value;
    }
    out = value;
    return true;
}

namespace {

// Remembers the value of the last member called `name`.
class FieldFinder final : public RecordVisitor {
public:
    explicit FieldFinder(std::string_view name) noexcept : name_(name) {}

    bool begin(Kind top) override { return top == Kind::Object; }
    bool member(std::string_view name) override {
        matched_ = text_equals(name, name_);
        return true;
    }
    bool item(const Item& item) override {
        if (!matched_) return true;
        matched_ = false;
        found_ = true;
        is_string_ = item.kind == Kind::String;
        text_ = item.text;
        return true;
    }
    bool end(std::size_t) override { return true; }

    bool found_string() const noexcept { return found_ && is_string_; }
    std::string_view text() const noexcept { return text_; }

private:
    std::string_view name_;
    bool matched_ = false;
    bool found_ = false;
    bool is_string_ = false;
    std::string_view text_;
};

}  // namespace

Result<StringMember> find_string_member(std::span<const std::uint8_t> text, std::string_view name) {
    FieldFinder finder(name);
    QV_CHECK(read_record(text, finder, "json object", kFieldMaxDepth));
    if (!finder.found_string()) return Error::malformed("json field");
    StringMember result;
    if (finder.text().find('\\') == std::string_view::npos) {
        result.text = finder.text();
    } else {
        if (!read_string(finder.text(), result.owned)) return Error::malformed("json object");
        result.text = {reinterpret_cast<const char*>(result.owned.data()), result.owned.size()};
    }
    return result;
}

}  // namespace qv::json
