#include "json/reader.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <new>

// The parser's implementation, instantiated here for our handler only.
#include <boost/json/basic_parser_impl.hpp>

namespace qv::json {

namespace {

using boost::json::error_code;
using boost::json::string_view;

void refuse(error_code& ec) { ec = boost::json::make_error_code(boost::json::error::syntax); }

// UTF-8 for U+D800..U+DFFF is ED A0..BF xx. The parser refuses lone surrogate
// escapes itself; this check keeps that guarantee should a parser version
// start passing them through as WTF-8.
bool has_surrogate(string_view s) noexcept {
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
    }
    return false;
}

// Forwards the record level (depth 1) of the document to the visitor.
class Handler {
public:
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

    Handler(RecordVisitor& visitor, std::span<const std::uint8_t> input) noexcept
        : visitor_(visitor),
          begin_(reinterpret_cast<const char*>(input.data())),
          end_(reinterpret_cast<const char*>(input.data()) + input.size()) {}

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }

    bool on_object_begin(error_code& ec) { return open(Kind::Object, ec); }
    bool on_array_begin(error_code& ec) { return open(Kind::Array, ec); }
    bool on_object_end(std::size_t n, error_code& ec) { return close(n, ec); }
    bool on_array_end(std::size_t n, error_code& ec) { return close(n, ec); }

    bool on_key_part(string_view s, std::size_t, error_code& ec) { return part(s, ec); }
    bool on_key(string_view s, std::size_t, error_code& ec) {
        if (has_surrogate(s)) return fail(ec);
        if (depth_ != 1) return true;
        const Text t = finish(s);
        const bool ok = visitor_.member(t.view);
        scratch_.clear();
        return ok || fail(ec);
    }

    bool on_string_part(string_view s, std::size_t, error_code& ec) { return part(s, ec); }
    bool on_string(string_view s, std::size_t, error_code& ec) {
        if (has_surrogate(s)) return fail(ec);
        if (depth_ != 1) return depth_ > 1 || fail(ec);
        const Text t = finish(s);
        const bool ok = visitor_.item({Kind::String, t.view, t.in_input});
        scratch_.clear();
        return ok || fail(ec);
    }

    bool on_number_part(string_view s, error_code&) {
        if (depth_ == 1) scratch_.append(bytes(s));
        return true;
    }
    bool on_int64(std::int64_t, string_view s, error_code& ec) { return number(s, ec); }
    bool on_uint64(std::uint64_t, string_view s, error_code& ec) { return number(s, ec); }
    bool on_double(double, string_view s, error_code& ec) { return number(s, ec); }

    bool on_bool(bool b, error_code& ec) { return scalar(b ? Kind::True : Kind::False, ec); }
    bool on_null(error_code& ec) { return scalar(Kind::Null, ec); }

    // Comments are disabled in the options; refuse them all the same.
    bool on_comment_part(string_view, error_code& ec) { return fail(ec); }
    bool on_comment(string_view, error_code& ec) { return fail(ec); }

private:
    struct Text {
        std::string_view view;
        bool in_input;
    };

    static std::span<const std::uint8_t> bytes(string_view s) noexcept {
        return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
    }

    bool fail(error_code& ec) {
        refuse(ec);
        return false;
    }

    bool open(Kind kind, error_code& ec) {
        ++depth_;
        if (depth_ == 1) return visitor_.begin(kind) || fail(ec);
        if (depth_ == 2) return visitor_.item({kind, {}, true}) || fail(ec);
        return true;
    }

    bool close(std::size_t n, error_code& ec) {
        const bool ok = depth_ != 1 || visitor_.end(n);
        --depth_;
        return ok || fail(ec);
    }

    // A string or number split over several callbacks is gathered in the
    // scratch buffer; a whole one is passed as the parser's own view.
    bool part(string_view s, error_code& ec) {
        if (has_surrogate(s)) return fail(ec);
        if (depth_ == 1) scratch_.append(bytes(s));
        return true;
    }

    Text finish(string_view last) {
        if (scratch_.empty()) {
            const bool inside = last.data() >= begin_ && last.data() + last.size() <= end_;
            return {{last.data(), last.size()}, inside};
        }
        scratch_.append(bytes(last));
        return {{reinterpret_cast<const char*>(scratch_.data()), scratch_.size()}, false};
    }

    bool number(string_view s, error_code& ec) {
        if (depth_ != 1) {
            scratch_.clear();
            return depth_ > 1 || fail(ec);
        }
        const Text t = finish(s);
        const bool ok = visitor_.item({Kind::Number, t.view, t.in_input});
        scratch_.clear();
        return ok || fail(ec);
    }

    bool scalar(Kind kind, error_code& ec) {
        if (depth_ == 0) return fail(ec);
        return depth_ > 1 || visitor_.item({kind, {}, true}) || fail(ec);
    }

    RecordVisitor& visitor_;
    const char* begin_;
    const char* end_;
    std::size_t depth_ = 0;
    ZeroizingBuffer scratch_;
};

// The parser resolves escapes in a buffer on its own stack frames; overwrite
// that part of the stack once it has returned. 32 KiB covers the escape
// buffer and the frames of the deepest nesting a field read allows.
[[gnu::noinline]] void scrub_stack() noexcept {
    unsigned char area[32 * 1024];
    secure_zero(area, sizeof area);
    __asm__ volatile("" : : "r"(area) : "memory");
}

[[gnu::noinline]] bool parse(std::span<const std::uint8_t> text, RecordVisitor& visitor, std::size_t max_depth) {
    boost::json::parse_options options;
    options.max_depth = max_depth;
    options.allow_comments = false;
    options.allow_trailing_commas = false;
    options.allow_invalid_utf8 = false;
    boost::json::basic_parser<Handler> parser(options, visitor, text);
    error_code ec;
    const std::size_t used =
        parser.write_some(false, reinterpret_cast<const char*>(text.data()), text.size(), ec);
    // write_some stops after one value and its trailing white space: anything
    // left over (a NUL byte, a second value) makes the document malformed.
    return !ec && parser.done() && used == text.size();
}

}  // namespace

namespace {

// Deepest nesting of brackets outside strings: exact for valid JSON, and an
// upper bound that the parser then enforces for anything else.
std::size_t nesting_depth(std::span<const std::uint8_t> text) noexcept {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const std::uint8_t c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// Parsed on the caller's stack up to this depth (about 160 bytes of stack per
// level in a release build, so well under 100 KiB).
constexpr std::size_t kInlineDepth = 512;
// Budget of a private stack: generous per level, so that instrumented builds
// fit too, plus the parser's escape buffer and the visitor's frames.
constexpr std::size_t kStackPerLevel = 1024;
constexpr std::size_t kStackBase = std::size_t{1} << 20;

struct StackJob {
    std::span<const std::uint8_t> text;
    RecordVisitor* visitor;
    std::size_t max_depth;
    bool ok = false;
    std::exception_ptr error;
};

void* run_job(void* arg) {
    auto* job = static_cast<StackJob*>(arg);
    try {
        job->ok = parse(job->text, *job->visitor, job->max_depth);
    } catch (...) {
        job->error = std::current_exception();
    }
    return nullptr;
}

// Runs the parse on a thread whose stack is a fresh mapping of `bytes` (not
// glibc's stack cache, which would keep the parser's escape buffers): the
// mapping is left out of core dumps and unmapped, contents and all, after the
// join. The caller waits; the visitor runs on that thread meanwhile.
bool parse_on_own_stack(std::span<const std::uint8_t> text, RecordVisitor& visitor, std::size_t max_depth,
                        std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    bytes = (bytes + page - 1) / page * page;
    void* base = ::mmap(nullptr, bytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    struct Unmap {
        void* p;
        std::size_t n;
        ~Unmap() { ::munmap(p, n); }
    } unmap{base, bytes + page};
    auto* stack = static_cast<std::uint8_t*>(base) + page;
    ::mprotect(base, page, PROT_NONE);  // stacks grow down: a guard below
#if defined(MADV_DONTDUMP)
    ::madvise(stack, bytes, MADV_DONTDUMP);
#endif
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) throw std::bad_alloc();
    const int set = ::pthread_attr_setstack(&attr, stack, bytes);
    StackJob job{text, &visitor, max_depth, false, nullptr};
    pthread_t thread;
    const int made = set == 0 ? ::pthread_create(&thread, &attr, run_job, &job) : set;
    ::pthread_attr_destroy(&attr);
    if (made != 0) throw std::bad_alloc();
    ::pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
    return job.ok;
}

}  // namespace

Status read_record(std::span<const std::uint8_t> text, RecordVisitor& visitor, const char* what,
                   std::size_t max_depth) {
    bool ok;
    const std::size_t depth = max_depth == kAnyDepth ? nesting_depth(text) : 0;
    if (depth > kInlineDepth) {
        ok = parse_on_own_stack(text, visitor, depth + 1, kStackBase + depth * kStackPerLevel);
    } else {
        ok = parse(text, visitor, max_depth == kAnyDepth ? kInlineDepth + 1 : max_depth);
        scrub_stack();
    }
    if (!ok) return Error::malformed(what);
    return {};
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
        matched_ = name == name_;
        return true;
    }
    bool item(const Item& item) override {
        if (!matched_) return true;
        matched_ = false;
        found_ = true;
        is_string_ = item.kind == Kind::String;
        result_.owned.clear();
        result_.text = {};
        if (!is_string_) return true;
        if (item.in_input) {
            result_.text = item.text;
        } else {
            result_.owned.append({reinterpret_cast<const std::uint8_t*>(item.text.data()), item.text.size()});
            result_.text = {reinterpret_cast<const char*>(result_.owned.data()), result_.owned.size()};
        }
        return true;
    }
    bool end(std::size_t) override { return true; }

    bool found_string() const noexcept { return found_ && is_string_; }
    StringMember take() noexcept { return std::move(result_); }

private:
    std::string_view name_;
    bool matched_ = false;
    bool found_ = false;
    bool is_string_ = false;
    StringMember result_;
};

}  // namespace

Result<StringMember> find_string_member(std::span<const std::uint8_t> text, std::string_view name) {
    FieldFinder finder(name);
    QV_CHECK(read_record(text, finder, "json object", kFieldMaxDepth));
    if (!finder.found_string()) return Error::malformed("json field");
    return finder.take();
}

}  // namespace qv::json
