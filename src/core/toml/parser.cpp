#include "core/toml/parser.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/number/parse.hpp"
#include "core/text/scan.hpp"
#include "core/text/utf8.hpp"
#include "core/toml/document.hpp"
#include "core/tree/arena.hpp"
#include "core/text/ascii.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tabrix::toml {

namespace {

// Bytes that would continue a number or date-time token: a literal followed
// by one of these is malformed rather than finished.
constexpr std::array<bool, 256> kTokenByte = [] {
    std::array<bool, 256> table = ascii::kWordBytes;
    table['.'] = table['+'] = table[':'] = true;
    for (int c = 0x80; c < 0x100; ++c) table[c] = true;
    return table;
}();

inline bool is_bare(char c) noexcept { return ascii::kWordBytes[static_cast<unsigned char>(c)]; }
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The end of the run of bare-key bytes starting at `p` (which is one).
inline const char* bare_key_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    // Sixteen bytes at a time: letters (case folded), digits, '-' and '_'.
    auto in_range = [](__m128i v, char lo, char hi) {
        const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8(lo));
        const __m128i width = _mm_set1_epi8(static_cast<char>(hi - lo));
        return _mm_cmpeq_epi8(_mm_max_epu8(offset, width), width);
    };
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i bare = _mm_or_si128(
            _mm_or_si128(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z'), in_range(v, '0', '9')),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(bare)) & 0xFFFFu;
        if (other) return p + std::countr_zero(other);
        p += 16;
    }
#endif
    while (is_bare(*p)) ++p;
    return p;
}

inline bool continues_token(char c) noexcept { return kTokenByte[static_cast<unsigned char>(c)]; }

inline int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether p[0..n) are all decimal digits. Stops at the first non-digit, so
// it never reads past the terminating NUL of the text.
inline bool digits_at(const char* p, int n) noexcept {
    for (int i = 0; i < n; ++i) {
        if (!is_digit(p[i])) return false;
    }
    return true;
}
inline int two_digits(const char* p) noexcept { return (p[0] - '0') * 10 + (p[1] - '0'); }

inline bool is_leap_year(int year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
inline int days_in_month(int year, int month) noexcept {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

inline char* put_two(char* w, int value) noexcept {
    w[0] = static_cast<char>('0' + value / 10);
    w[1] = static_cast<char>('0' + value % 10);
    return w + 2;
}

// The text of a validated basic string body, escapes decoded, CRLF written
// as LF and line-ending backslashes (multi-line strings) applied. Never
// longer than the body.
std::size_t unescape(const char* p, const char* end, char* out) noexcept {
    char* w = out;
    while (p < end) {
        const char* special = scan::find_any<false, '\\', '\r'>(p, end);
        std::memcpy(w, p, static_cast<std::size_t>(special - p));
        w += special - p;
        p = special;
        if (p == end) break;
        if (*p == '\r') {  // always a CRLF here
            *w++ = '\n';
            p += 2;
            continue;
        }
        int hex_digits = 0;
        switch (p[1]) {
            case 'b': *w++ = '\b'; break;
            case 't': *w++ = '\t'; break;
            case 'n': *w++ = '\n'; break;
            case 'f': *w++ = '\f'; break;
            case 'r': *w++ = '\r'; break;
            case 'e': *w++ = '\x1B'; break;
            case '"': *w++ = '"'; break;
            case '\\': *w++ = '\\'; break;
            case 'x': hex_digits = 2; break;
            case 'u': hex_digits = 4; break;
            case 'U': hex_digits = 8; break;
            default:
                // A line-ending backslash: drop it and every blank and
                // newline after it.
                ++p;
                while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
                continue;
        }
        if (hex_digits) {
            char32_t cp = 0;
            for (int i = 0; i < hex_digits; ++i) cp = cp * 16 + static_cast<char32_t>(hex_value(p[2 + i]));
            w += utf8::encode(cp, w);
        }
        p += 2 + hex_digits;
    }
    return static_cast<std::size_t>(w - out);
}

// A multi-line literal body with CRLF written as LF.
std::size_t crlf_to_lf(const char* p, const char* end, char* out) noexcept {
    char* w = out;
    while (p < end) {
        const char* cr = scan::find_any<false, '\r'>(p, end);
        std::memcpy(w, p, static_cast<std::size_t>(cr - p));
        w += cr - p;
        if (cr == end) break;
        *w++ = '\n';
        p = cr + 2;
    }
    return static_cast<std::size_t>(w - out);
}

struct Text {
    const char* data;
    std::size_t size;
    std::string_view view() const noexcept { return {data, size}; }
};

struct KeyPart {
    Text text;          // the key's value
    const char* start;  // the key as written
    const char* end;
};

class Parser {
public:
    explicit Parser(std::string_view text)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), doc_(text.size()) {
        // A leading byte-order mark is not part of the document; positions
        // count from after it.
        if (text.size() >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) {
            begin_ += 3;
            p_ += 3;
        }
    }

    bool run();
    std::string_view source() const noexcept { return {begin_, static_cast<std::size_t>(end_ - begin_)}; }
    const ParseError& error() const noexcept { return error_; }
    const Document& document() const noexcept { return doc_; }

private:
    // ------------------------------------------------------------ errors
    [[gnu::cold, gnu::noinline]] bool fail(const char* at, std::size_t length, const char* message) {
        error_.start = static_cast<std::size_t>(at - begin_);
        error_.end = error_.start + length;
        error_.message = message;
        return false;
    }
    [[gnu::cold]] bool fail_span(const char* from, const char* to, const char* message) {
        return fail(from, static_cast<std::size_t>(to - from), message);
    }
    // Points at the character at `at` (nothing at the end of the text).
    [[gnu::cold]] bool fail_char(const char* at, const char* message) {
        std::size_t length = 0;
        if (at < end_) {
            length = static_cast<std::size_t>(utf8::sequence_length(static_cast<unsigned char>(*at)));
            if (length > static_cast<std::size_t>(end_ - at)) length = static_cast<std::size_t>(end_ - at);
        }
        return fail(at, length, message);
    }
    [[gnu::cold]] bool fail_key(const KeyPart& part, const char* message) {
        return fail_span(part.start, part.end, message);
    }

    // ------------------------------------------------------------ layout
    bool at_end() const noexcept { return p_ == end_; }
    void skip_blanks() noexcept {
        while (*p_ == ' ' || *p_ == '\t') ++p_;
    }
    bool skip_comment();
    bool skip_blank_lines();  // blanks, comments and newlines (inside arrays and inline tables)
    bool end_of_line(const char* message);

    // ------------------------------------------------------------ structure
    bool header();
    bool keyval(std::uint32_t table, std::uint16_t depth);
    bool read_key();
    [[gnu::noinline]] bool quoted_key(Text& out);
    bool descend_dotted(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part);
    bool descend_header(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part);
    bool define_table(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part);
    bool append_table(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part);
    bool check_depth(std::uint16_t depth, const KeyPart& part) {
        if (depth > kRecursionLimit) [[unlikely]] return fail_key(part, "recursion limit");
        return true;
    }

    // ------------------------------------------------------------ values
    bool value(std::uint32_t& out, std::uint16_t depth);
    bool array(std::uint32_t& out, std::uint16_t depth);
    bool inline_table(std::uint32_t& out, std::uint16_t depth);
    bool string_value(std::uint32_t& out);
    bool number(std::uint32_t& out);
    bool radix_integer(std::uint32_t& out, const char* start);
    bool datetime(std::uint32_t& out, bool has_date);
    bool word(std::uint32_t& out, const char* word, std::size_t size, ValueKind kind, double real, bool boolean);

    std::size_t escape(const char* at);
    bool basic_string(Text& out, bool& escaped);
    bool literal_string(Text& out);
    bool multiline_basic(Text& out, bool& processed);
    bool multiline_literal(Text& out, bool& processed);
    Text decode_basic(Text raw) {
        char* out = scratch_.allocate(raw.size);
        const std::size_t used = unescape(raw.data, raw.data + raw.size, out);
        scratch_.shrink_last(raw.size - used);
        return Text{out, used};
    }

    std::uint32_t add_str(Text text, std::uint8_t flags = 0) {
        const std::uint32_t index = doc_.add_scalar(ValueKind::Str, flags);
        Value& v = doc_.value(index);
        v.text = text.size ? text.data : "";
        v.size = text.size;
        return index;
    }

    const char* begin_;
    const char* p_;
    const char* const end_;  // *end_ is the NUL after the text
    Document doc_;
    TextArena scratch_;  // decoded strings and keys, date-time texts
    std::vector<KeyPart> key_;
    std::string digits_;  // a float literal without its underscores
    std::uint32_t table_ = 0;       // the table of the current section
    std::uint16_t table_depth_ = 0;
    std::uint32_t section_ = 1;  // counts [headers]; 1 before the first
    ParseError error_;
};

// ---------------------------------------------------------------- layout

bool Parser::skip_comment() {
    const char* q = p_ + 1;
    for (;;) {
        q = scan::find_any<true, 0x7F>(q, end_);
        if (q == end_) break;
        const char c = *q;
        if (c == '\t') {
            ++q;
            continue;
        }
        if (c == '\n' || (c == '\r' && q[1] == '\n')) break;
        return fail(q, 1, "control character in a comment");
    }
    p_ = q;
    return true;
}

bool Parser::skip_blank_lines() {
    for (;;) {
        const char c = *p_;
        if (c == ' ' || c == '\t' || c == '\n') {
            ++p_;
        } else if (c == '#') {
            if (!skip_comment()) return false;
        } else if (c == '\r') {
            if (p_[1] != '\n') return fail(p_, 1, "carriage return without a line feed");
            p_ += 2;
        } else {
            return true;
        }
    }
}

bool Parser::end_of_line(const char* message) {
    skip_blanks();
    if (*p_ == '#' && !skip_comment()) return false;
    if (*p_ == '\n') {
        ++p_;
        return true;
    }
    if (*p_ == '\r' && p_[1] == '\n') {
        p_ += 2;
        return true;
    }
    if (at_end()) return true;
    if (*p_ == '\r') return fail(p_, 1, "carriage return without a line feed");
    return fail_char(p_, message);
}

bool Parser::run() {
    key_.reserve(8);
    for (;;) {
        skip_blanks();
        const char c = *p_;
        if (c == '\n') {
            ++p_;
            continue;
        }
        if (c == '\r') {
            if (p_[1] != '\n') return fail(p_, 1, "carriage return without a line feed");
            p_ += 2;
            continue;
        }
        if (c == '#') {
            if (!skip_comment()) return false;
            continue;
        }
        if (at_end()) return true;
        if (c == '[') {
            if (!header() || !end_of_line("expected a newline after the table header")) return false;
        } else {
            if (!keyval(table_, table_depth_) || !end_of_line("expected a newline after the value")) return false;
        }
    }
}

// ---------------------------------------------------------------- keys

bool Parser::read_key() {
    key_.clear();
    const char* p = p_;
    for (;;) {
        const char* const start = p;
        Text text;
        if (is_bare(*p)) {
            p = bare_key_end(p, end_);
            text = Text{start, static_cast<std::size_t>(p - start)};
        } else {
            p_ = p;
            if (!quoted_key(text)) return false;
            p = p_;
        }
        key_.push_back(KeyPart{text, start, p});
        const char* q = p;
        while (*q == ' ' || *q == '\t') ++q;
        if (*q != '.') {
            p_ = p;
            return true;
        }
        p = q + 1;
        while (*p == ' ' || *p == '\t') ++p;
    }
}

bool Parser::quoted_key(Text& out) {
    if (*p_ == '"') {
        if (p_[1] == '"' && p_[2] == '"') return fail(p_, 3, "a key cannot be a multi-line string");
        bool escaped = false;
        if (!basic_string(out, escaped)) return false;
        if (escaped) out = decode_basic(out);
        return true;
    }
    if (*p_ == '\'') {
        if (p_[1] == '\'' && p_[2] == '\'') return fail(p_, 3, "a key cannot be a multi-line string");
        return literal_string(out);
    }
    return fail_char(p_, "expected a key");
}

// ---------------------------------------------------------------- tables

// Rules, for tables reached through the keys of a [header] or a dotted key:
//  * an inline table is closed: nothing is ever added to it;
//  * a [header] may name a table once, and not one that dotted keys made;
//  * dotted keys may add to a table only within the section (the lines
//    after one [header]) in which dotted keys first went through it, and
//    never to a table a [header] defined;
//  * [header] keys pass through arrays of tables into their last element;
//    no key passes through a static array or a value that is not a table.

bool Parser::descend_dotted(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part) {
    ++depth;
    const std::uint32_t e = doc_.find(table, part.text.view());
    if (e == kNone) {
        if (!check_depth(depth, part)) return false;
        const std::uint32_t t = doc_.add_table(depth);
        doc_.value(t).container.section = section_;
        doc_.insert(table, part.text.view(), t);
        table = t;
        return true;
    }
    const std::uint32_t t = doc_.entry(e).value;
    Value& v = doc_.value(t);
    if (v.kind != ValueKind::Table) return fail_key(part, "this key already holds a value that is not a table");
    if (v.flags & kFrozen) return fail_key(part, "an inline table cannot be extended");
    if (v.flags & kExplicit) return fail_key(part, "dotted keys cannot add to a table defined by a [header]");
    if (v.container.section != 0 && v.container.section != section_) {
        return fail_key(part, "dotted keys cannot add to a table defined by dotted keys in another section");
    }
    v.container.section = section_;
    table = t;
    return true;
}

bool Parser::descend_header(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part) {
    ++depth;
    const std::uint32_t e = doc_.find(table, part.text.view());
    if (e == kNone) {
        if (!check_depth(depth, part)) return false;
        const std::uint32_t t = doc_.add_table(depth);
        doc_.insert(table, part.text.view(), t);
        table = t;
        return true;
    }
    const std::uint32_t t = doc_.entry(e).value;
    const Value& v = doc_.value(t);
    if (v.kind == ValueKind::Table) {
        if (v.flags & kFrozen) return fail_key(part, "an inline table cannot be extended");
        table = t;
        return true;
    }
    if (v.kind == ValueKind::Array) {
        if (!(v.flags & kOfTables)) return fail_key(part, "a static array cannot be extended");
        table = v.links.last;
        ++depth;
        return true;
    }
    return fail_key(part, "this key already holds a value that is not a table");
}

bool Parser::define_table(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part) {
    ++depth;
    const std::uint32_t e = doc_.find(table, part.text.view());
    if (e == kNone) {
        if (!check_depth(depth, part)) return false;
        const std::uint32_t t = doc_.add_table(depth, kExplicit);
        doc_.insert(table, part.text.view(), t);
        table = t;
        return true;
    }
    const std::uint32_t t = doc_.entry(e).value;
    Value& v = doc_.value(t);
    if (v.kind == ValueKind::Table) {
        if (v.flags & kFrozen) return fail_key(part, "an inline table cannot be extended");
        if (v.flags & kExplicit) return fail_key(part, "table defined twice");
        if (v.container.section != 0) return fail_key(part, "table already defined by dotted keys");
        v.flags |= kExplicit;
        table = t;
        return true;
    }
    if (v.kind == ValueKind::Array && (v.flags & kOfTables)) {
        return fail_key(part, "table already defined as an array of tables");
    }
    return fail_key(part, "this key already holds a value that is not a table");
}

bool Parser::append_table(std::uint32_t& table, std::uint16_t& depth, const KeyPart& part) {
    const std::uint32_t e = doc_.find(table, part.text.view());
    std::uint32_t array;
    if (e == kNone) {
        if (!check_depth(depth + 2, part)) return false;
        array = doc_.add_array(depth + 1, kOfTables);
        doc_.insert(table, part.text.view(), array);
    } else {
        array = doc_.entry(e).value;
        const Value& v = doc_.value(array);
        if (v.kind == ValueKind::Table) return fail_key(part, "table already defined, not as an array of tables");
        if (v.kind != ValueKind::Array) return fail_key(part, "this key already holds a value that is not a table");
        if (!(v.flags & kOfTables)) return fail_key(part, "a static array cannot be extended");
    }
    depth += 2;
    const std::uint32_t element = doc_.add_table(depth, kExplicit);
    doc_.append(array, element);
    table = element;
    return true;
}

bool Parser::header() {
    const bool of_tables = p_[1] == '[';
    p_ += of_tables ? 2 : 1;
    skip_blanks();
    if (!read_key()) return false;
    skip_blanks();
    if (of_tables) {
        if (p_[0] != ']' || p_[1] != ']') {
            return fail_char(p_, *p_ == ']' ? "expected `]]` to close the array-of-tables header"
                                            : "expected `]]` after the key of an array-of-tables header");
        }
        p_ += 2;
    } else {
        if (*p_ != ']') return fail_char(p_, "expected `]` after the key of a table header");
        ++p_;
    }
    ++section_;
    std::uint32_t table = doc_.root();
    std::uint16_t depth = 0;
    const std::size_t last = key_.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        if (!descend_header(table, depth, key_[i])) return false;
    }
    if (!(of_tables ? append_table(table, depth, key_[last]) : define_table(table, depth, key_[last]))) return false;
    table_ = table;
    table_depth_ = depth;
    return true;
}

bool Parser::keyval(std::uint32_t table, std::uint16_t depth) {
    if (!read_key()) return false;
    skip_blanks();
    if (*p_ != '=') return fail_char(p_, "expected `=` after a key");
    ++p_;
    skip_blanks();
    const std::size_t last = key_.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        if (!descend_dotted(table, depth, key_[i])) return false;
    }
    // The key's parts are reused by keys inside the value: keep the stem.
    const std::string_view stem = key_[last].text.view();
    if (doc_.find(table, stem) != kNone) return fail_key(key_[last], "duplicate key");
    std::uint32_t v;
    if (!value(v, static_cast<std::uint16_t>(depth + 1))) return false;
    doc_.insert(table, stem, v);
    return true;
}

// ---------------------------------------------------------------- values

bool Parser::value(std::uint32_t& out, std::uint16_t depth) {
    switch (*p_) {
        case '"':
        case '\'':
            return string_value(out);
        case '[':
            return array(out, depth);
        case '{':
            return inline_table(out, depth);
        case 't':
            return word(out, "true", 4, ValueKind::Bool, 0.0, true);
        case 'f':
            return word(out, "false", 5, ValueKind::Bool, 0.0, false);
        case 'i':
            return word(out, "inf", 3, ValueKind::Float, std::numeric_limits<double>::infinity(), false);
        case 'n':
            return word(out, "nan", 3, ValueKind::Float, std::numeric_limits<double>::quiet_NaN(), false);
        case '+':
        case '-':
            return number(out);
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            if (is_digit(p_[1])) {
                if (p_[2] == ':') return datetime(out, false);
                if (is_digit(p_[2]) && is_digit(p_[3]) && p_[4] == '-') return datetime(out, true);
            }
            return number(out);
        default:
            return fail_char(p_, "expected a value");
    }
}

bool Parser::word(std::uint32_t& out, const char* word, std::size_t size, ValueKind kind, double real,
                  bool boolean) {
    const char* q = p_;
    std::size_t matched = 0;
    while (matched < size && q[matched] == word[matched]) ++matched;
    if (matched < size || continues_token(q[size])) {
        const char* e = q;
        while (continues_token(*e)) ++e;
        return fail_span(p_, e > p_ ? e : p_ + 1, "expected a value");
    }
    out = doc_.add_scalar(kind);
    Value& v = doc_.value(out);
    if (kind == ValueKind::Bool) v.boolean = boolean;
    else v.real = real;
    p_ += size;
    return true;
}

bool Parser::array(std::uint32_t& out, std::uint16_t depth) {
    if (depth > kRecursionLimit) [[unlikely]] return fail(p_, 1, "recursion limit");
    out = doc_.add_array(depth);
    ++p_;
    if (!skip_blank_lines()) return false;
    if (*p_ == ']') {
        ++p_;
        return true;
    }
    const auto inner = static_cast<std::uint16_t>(depth + 1);
    for (;;) {
        std::uint32_t element;
        if (!value(element, inner)) return false;
        doc_.append(out, element);
        if (!skip_blank_lines()) return false;
        if (*p_ == ',') {
            ++p_;
            if (!skip_blank_lines()) return false;
            if (*p_ == ']') break;
            continue;
        }
        if (*p_ == ']') break;
        return fail_char(p_, "expected `,` or `]` after an array element");
    }
    ++p_;
    return true;
}

bool Parser::inline_table(std::uint32_t& out, std::uint16_t depth) {
    if (depth > kRecursionLimit) [[unlikely]] return fail(p_, 1, "recursion limit");
    const std::uint32_t table = doc_.add_table(depth);
    ++p_;
    if (!skip_blank_lines()) return false;
    if (*p_ != '}') {
        for (;;) {
            if (!keyval(table, depth)) return false;
            if (!skip_blank_lines()) return false;
            if (*p_ == ',') {
                ++p_;
                if (!skip_blank_lines()) return false;
                if (*p_ == '}') break;
                continue;
            }
            if (*p_ == '}') break;
            return fail_char(p_, "expected `,` or `}` after a key/value pair of an inline table");
        }
    }
    ++p_;
    doc_.value(table).flags |= kFrozen;
    out = table;
    return true;
}

// ---------------------------------------------------------------- strings

// Length of the escape sequence at `at` (a backslash), or 0 after failing.
std::size_t Parser::escape(const char* at) {
    int hex_digits;
    switch (at[1]) {
        case 'b': case 't': case 'n': case 'f': case 'r': case 'e': case '"': case '\\':
            return 2;
        case 'x': hex_digits = 2; break;
        case 'u': hex_digits = 4; break;
        case 'U': hex_digits = 8; break;
        default:
            fail(at, at + 1 < end_ ? 1 + static_cast<std::size_t>(utf8::sequence_length(static_cast<unsigned char>(at[1]))) : 1,
                 "invalid escape sequence");
            return 0;
    }
    std::uint32_t cp = 0;
    for (int i = 0; i < hex_digits; ++i) {
        const int digit = hex_value(at[2 + i]);
        if (digit < 0) {
            fail(at, static_cast<std::size_t>(2 + i),
                 hex_digits == 2   ? "invalid escape sequence: \\x takes two hexadecimal digits"
                 : hex_digits == 4 ? "invalid escape sequence: \\u takes four hexadecimal digits"
                                   : "invalid escape sequence: \\U takes eight hexadecimal digits");
            return 0;
        }
        cp = cp * 16 + static_cast<std::uint32_t>(digit);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        fail(at, static_cast<std::size_t>(2 + hex_digits), "escape sequence names no Unicode scalar value");
        return 0;
    }
    return static_cast<std::size_t>(2 + hex_digits);
}

bool Parser::basic_string(Text& out, bool& escaped) {
    const char* const open = p_;
    const char* q = p_ + 1;
    for (;;) {
        q = scan::find_any<true, '"', '\\', 0x7F>(q, end_);
        const char c = *q;
        if (c == '"') break;
        if (c == '\\') {
            escaped = true;
            const std::size_t n = escape(q);
            if (n == 0) return false;
            q += n;
            continue;
        }
        if (c == '\t') {
            ++q;
            continue;
        }
        if (q == end_ || c == '\n' || c == '\r') return fail_span(open, q, "unterminated string");
        return fail(q, 1, "control character in a string (write it as an escape)");
    }
    out = Text{open + 1, static_cast<std::size_t>(q - open - 1)};
    p_ = q + 1;
    return true;
}

bool Parser::literal_string(Text& out) {
    const char* const open = p_;
    const char* q = p_ + 1;
    for (;;) {
        q = scan::find_any<true, '\'', 0x7F>(q, end_);
        const char c = *q;
        if (c == '\'') break;
        if (c == '\t') {
            ++q;
            continue;
        }
        if (q == end_ || c == '\n' || c == '\r') return fail_span(open, q, "unterminated string");
        return fail(q, 1, "control character in a literal string");
    }
    out = Text{open + 1, static_cast<std::size_t>(q - open - 1)};
    p_ = q + 1;
    return true;
}

bool Parser::multiline_basic(Text& out, bool& processed) {
    const char* const open = p_;
    const char* q = p_ + 3;
    if (*q == '\n') ++q;
    else if (*q == '\r' && q[1] == '\n') q += 2;
    const char* const body = q;
    for (;;) {
        q = scan::find_any<true, '"', '\\', 0x7F>(q, end_);
        const char c = *q;
        if (c == '"') {
            if (q[1] == '"' && q[2] == '"') break;
            ++q;
            continue;
        }
        if (c == '\\') {
            processed = true;
            const char next = q[1];
            if (next == ' ' || next == '\t' || next == '\n' || next == '\r') {
                // A line-ending backslash: only blanks may stand between it
                // and the newline.
                const char* r = q + 1;
                while (*r == ' ' || *r == '\t') ++r;
                if (*r == '\n') {
                    q = r + 1;
                    continue;
                }
                if (*r == '\r' && r[1] == '\n') {
                    q = r + 2;
                    continue;
                }
                return fail_span(q, r, "invalid escape sequence: a backslash followed by blanks must end the line");
            }
            const std::size_t n = escape(q);
            if (n == 0) return false;
            q += n;
            continue;
        }
        if (c == '\n' || c == '\t') {
            ++q;
            continue;
        }
        if (c == '\r') {
            if (q[1] != '\n') return fail(q, 1, "carriage return without a line feed in a string");
            processed = true;
            q += 2;
            continue;
        }
        if (q == end_) return fail_span(open, end_, "unterminated multi-line string");
        return fail(q, 1, "control character in a string (write it as an escape)");
    }
    // Up to two quotes before the closing delimiter belong to the text.
    std::size_t extra = 0;
    while (extra < 2 && q[3 + extra] == '"') ++extra;
    out = Text{body, static_cast<std::size_t>(q + extra - body)};
    p_ = q + 3 + extra;
    return true;
}

bool Parser::multiline_literal(Text& out, bool& processed) {
    const char* const open = p_;
    const char* q = p_ + 3;
    if (*q == '\n') ++q;
    else if (*q == '\r' && q[1] == '\n') q += 2;
    const char* const body = q;
    for (;;) {
        q = scan::find_any<true, '\'', 0x7F>(q, end_);
        const char c = *q;
        if (c == '\'') {
            if (q[1] == '\'' && q[2] == '\'') break;
            ++q;
            continue;
        }
        if (c == '\n' || c == '\t') {
            ++q;
            continue;
        }
        if (c == '\r') {
            if (q[1] != '\n') return fail(q, 1, "carriage return without a line feed in a string");
            processed = true;
            q += 2;
            continue;
        }
        if (q == end_) return fail_span(open, end_, "unterminated multi-line string");
        return fail(q, 1, "control character in a literal string");
    }
    std::size_t extra = 0;
    while (extra < 2 && q[3 + extra] == '\'') ++extra;
    out = Text{body, static_cast<std::size_t>(q + extra - body)};
    p_ = q + 3 + extra;
    return true;
}

bool Parser::string_value(std::uint32_t& out) {
    Text text;
    bool processed = false;
    if (*p_ == '"') {
        if (p_[1] == '"' && p_[2] == '"') {
            if (!multiline_basic(text, processed)) return false;
        } else if (!basic_string(text, processed)) {
            return false;
        }
        if (processed) text = decode_basic(text);
    } else {
        if (p_[1] == '\'' && p_[2] == '\'') {
            if (!multiline_literal(text, processed)) return false;
            if (processed) {
                char* copy = scratch_.allocate(text.size);
                const std::size_t used = crlf_to_lf(text.data, text.data + text.size, copy);
                scratch_.shrink_last(text.size - used);
                text = Text{copy, used};
            }
        } else if (!literal_string(text)) {
            return false;
        }
    }
    out = add_str(text);
    return true;
}

// ---------------------------------------------------------------- numbers

bool Parser::number(std::uint32_t& out) {
    const char* const start = p_;
    const char* q = p_;
    bool negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        ++q;
        if (*q == 'i' || *q == 'n') {
            p_ = q;
            if (!word(out, *q == 'i' ? "inf" : "nan", 3, ValueKind::Float,
                      *q == 'i' ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN(),
                      false)) {
                return fail_span(start, q + 1, "expected a value");
            }
            Value& v = doc_.value(out);
            if (negative) v.real = -v.real;
            return true;
        }
    } else if (q[0] == '0' && (q[1] == 'x' || q[1] == 'o' || q[1] == 'b')) {
        return radix_integer(out, start);
    }
    if (!is_digit(*q)) return fail_span(start, q + 1, "expected a value");
    if (q[0] == '0' && (is_digit(q[1]) || q[1] == '_')) {
        return fail(q, 1, "leading zeros are not allowed in numbers");
    }

    // Integer part, accumulated as we go (it is all an integer needs).
    std::uint64_t magnitude = 0;
    int digit_count = 0;
    bool underscores = false;
    for (;; ++q) {
        if (is_digit(*q)) {
            if (digit_count < 20) magnitude = magnitude * 10 + static_cast<std::uint64_t>(*q - '0');
            ++digit_count;
        } else if (*q == '_') {
            if (!is_digit(q[1])) return fail(q, 1, "an underscore in a number must stand between two digits");
            underscores = true;
        } else {
            break;
        }
    }
    bool is_float = false;
    auto fraction_digits = [&](const char* message) {
        if (!is_digit(*q)) return fail_char(q, message);
        for (;; ++q) {
            if (is_digit(*q)) continue;
            if (*q == '_') {
                if (!is_digit(q[1])) return fail(q, 1, "an underscore in a number must stand between two digits");
                underscores = true;
                continue;
            }
            return true;
        }
    };
    if (*q == '.') {
        ++q;
        is_float = true;
        if (!fraction_digits("expected a digit after the decimal point")) return false;
    }
    if (*q == 'e' || *q == 'E') {
        ++q;
        is_float = true;
        if (*q == '+' || *q == '-') ++q;
        if (!fraction_digits("expected a digit in the exponent")) return false;
    }
    if (continues_token(*q)) {
        const char* e = q;
        while (continues_token(*e)) ++e;
        return fail_span(start, e, "invalid number");
    }
    p_ = q;
    if (is_float) {
        std::string_view literal(start, static_cast<std::size_t>(q - start));
        if (underscores) {
            digits_.clear();
            for (const char c : literal) {
                if (c != '_') digits_.push_back(c);
            }
            literal = digits_;
        }
        out = doc_.add_scalar(ValueKind::Float);
        doc_.value(out).real = read_decimal_double(literal);
        return true;
    }
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    if (digit_count > 19 || magnitude > limit) {
        return fail_span(start, q, "integer out of range (TOML integers are signed 64-bit)");
    }
    out = doc_.add_scalar(ValueKind::Int);
    doc_.value(out).integer = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

bool Parser::radix_integer(std::uint32_t& out, const char* start) {
    const char prefix = start[1];
    const int bits = prefix == 'x' ? 4 : prefix == 'o' ? 3 : 1;
    const int base = 1 << bits;
    auto digit_of = [base](char c) {
        const int d = hex_value(c);
        return d < base ? d : -1;
    };
    const char* q = start + 2;
    if (digit_of(*q) < 0) return fail_char(q, "expected a digit after the base prefix");
    std::uint64_t value = 0;
    bool overflow = false;
    for (;; ++q) {
        const int d = digit_of(*q);
        if (d >= 0) {
            if (value > (std::uint64_t{0x7FFFFFFFFFFFFFFF} >> bits)) overflow = true;
            value = (value << bits) | static_cast<std::uint64_t>(d);
        } else if (*q == '_') {
            if (digit_of(q[1]) < 0) return fail(q, 1, "an underscore in a number must stand between two digits");
        } else {
            break;
        }
    }
    if (continues_token(*q)) {
        const char* e = q;
        while (continues_token(*e)) ++e;
        return fail_span(start, e, "invalid number");
    }
    if (overflow) return fail_span(start, q, "integer out of range (TOML integers are signed 64-bit)");
    p_ = q;
    out = doc_.add_scalar(ValueKind::Int);
    doc_.value(out).integer = static_cast<std::int64_t>(value);
    return true;
}

// ---------------------------------------------------------------- dates and times

// Dates and times become text built from their parts: the date as
// YYYY-MM-DD, "T" before a time that follows a date, the time as HH:MM
// with ":SS" when seconds were written and the fraction as nanoseconds
// without trailing zeros (at least one digit), and the offset as "Z" or
// +HH:MM / -HH:MM (minus only for offsets west of UTC).
bool Parser::datetime(std::uint32_t& out, bool has_date) {
    const char* const start = p_;
    const char* q = p_;
    char text[48];
    char* w = text;
    bool has_time = !has_date;
    if (has_date) {
        if (!(digits_at(q, 4) && q[4] == '-' && digits_at(q + 5, 2) && q[7] == '-' && digits_at(q + 8, 2))) {
            const char* e = q;
            while (continues_token(*e)) ++e;
            return fail_span(start, e, "invalid date (expected YYYY-MM-DD)");
        }
        const int year = two_digits(q) * 100 + two_digits(q + 2);
        const int month = two_digits(q + 5);
        const int day = two_digits(q + 8);
        if (month < 1 || month > 12) return fail(q + 5, 2, "invalid date: month out of range");
        if (day < 1 || day > days_in_month(year, month)) return fail(q + 8, 2, "invalid date: no such day in that month");
        std::memcpy(w, q, 10);
        w += 10;
        q += 10;
        if (*q == 'T' || *q == 't') {
            if (!(digits_at(q + 1, 2) && q[3] == ':')) return fail(q, 1, "expected a time after the date and `T`");
            ++q;
            has_time = true;
        } else if (*q == ' ' && digits_at(q + 1, 2) && q[3] == ':') {
            ++q;
            has_time = true;
        }
        if (has_time) *w++ = 'T';
    }
    if (has_time) {
        if (!(digits_at(q, 2) && q[2] == ':' && digits_at(q + 3, 2))) {
            const char* e = q;
            while (continues_token(*e)) ++e;
            return fail_span(q, e > q ? e : q + 1, "invalid time (expected HH:MM or HH:MM:SS)");
        }
        const int hour = two_digits(q);
        const int minute = two_digits(q + 3);
        if (hour > 23) return fail(q, 2, "invalid time: hour out of range");
        if (minute > 59) return fail(q + 3, 2, "invalid time: minute out of range");
        std::memcpy(w, q, 5);
        w += 5;
        q += 5;
        if (*q == ':') {
            if (!digits_at(q + 1, 2)) return fail_char(q + 1, "expected two digits of seconds");
            if (two_digits(q + 1) > 60) return fail(q + 1, 2, "invalid time: second out of range");
            std::memcpy(w, q, 3);
            w += 3;
            q += 3;
            if (*q == '.') {
                ++q;
                if (!is_digit(*q)) return fail_char(q, "expected a digit after the decimal point of the seconds");
                char nanos[9];
                int n = 0;
                for (; is_digit(*q); ++q) {
                    if (n < 9) nanos[n++] = *q;  // finer than nanoseconds is dropped
                }
                while (n > 0 && nanos[n - 1] == '0') --n;
                *w++ = '.';
                if (n == 0) {
                    *w++ = '0';
                } else {
                    std::memcpy(w, nanos, static_cast<std::size_t>(n));
                    w += n;
                }
            }
        }
        if (has_date) {
            if (*q == 'Z' || *q == 'z') {
                *w++ = 'Z';
                ++q;
            } else if (*q == '+' || *q == '-') {
                if (!(digits_at(q + 1, 2) && q[3] == ':' && digits_at(q + 4, 2))) {
                    const char* e = q + 1;
                    while (continues_token(*e)) ++e;
                    return fail_span(q, e, "invalid offset (expected +HH:MM or -HH:MM)");
                }
                const int hours = two_digits(q + 1);
                const int minutes = two_digits(q + 4);
                if (hours > 23) return fail(q + 1, 2, "invalid offset: hour out of range");
                if (minutes > 59) return fail(q + 4, 2, "invalid offset: minute out of range");
                *w++ = (*q == '-' && (hours | minutes) != 0) ? '-' : '+';
                w = put_two(w, hours);
                *w++ = ':';
                w = put_two(w, minutes);
                q += 6;
            }
        }
    }
    if (continues_token(*q)) {
        const char* e = q;
        while (continues_token(*e)) ++e;
        return fail_span(start, e, has_date ? "invalid date or date-time" : "invalid time");
    }
    p_ = q;
    const std::size_t size = static_cast<std::size_t>(w - text);
    char* stored = scratch_.allocate(size);
    std::memcpy(stored, text, size);
    out = add_str(Text{stored, size}, kAscii);
    return true;
}

}  // namespace

struct Reader::State {
    explicit State(std::string_view text) : parser(text) {}
    Parser parser;
};

Reader::Reader(std::string_view text) : state_(std::make_unique<State>(text)) {}
Reader::~Reader() = default;

Status Reader::read() {
    Parser& parser = state_->parser;
    if (!parser.run()) return value_error(format_toml_error(parser.source(), parser.error()));
    return Status::success();
}

const Document& Reader::document() const noexcept { return state_->parser.document(); }

Result<ConfigTree> parse_toml(std::string_view text) {
    Reader reader(text);
    if (Status read = reader.read(); !read) return std::move(read).error();
    return reader.document().to_tree(text);
}

}  // namespace tabrix::toml
