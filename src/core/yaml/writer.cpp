#include "core/yaml/writer.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/number/float_text.hpp"
#include "core/text/unicode.hpp"
#include "core/text/utf8.hpp"

namespace tabrix::yaml {

namespace {

// Byte classes of the quoting scan.
enum ByteClass : std::uint8_t {
    kOrdinary = 0,
    kQuote = 1,  // a byte that makes plain text read differently: \n " # ' : and
                 // the control characters other than tab
    kLead = 2,   // the first byte of U+0080..U+009F, U+2028, U+2029, U+FEFF, U+FFFE, U+FFFF
};

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = kQuote;
    table['\t'] = kOrdinary;
    table[0x7F] = kQuote;
    for (unsigned char c : {'"', '#', '\'', ':'}) table[c] = kQuote;
    table[0xC2] = kLead;
    table[0xE2] = kLead;
    table[0xEF] = kLead;
    return table;
}();

// The first characters that make plain text a YAML indicator.
constexpr std::array<bool, 128> kIndicator = [] {
    std::array<bool, 128> table{};
    for (unsigned char c : {'-', '?', '|', '>', '&', '*', '!', '%', '@', '`', '[', ']', '{', '}', ','}) table[c] = true;
    return table;
}();

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
inline char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool ascii_white_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

bool starts_with_white_space(std::string_view s) noexcept {
    const unsigned char c = static_cast<unsigned char>(s[0]);
    if (c < 0x80) return ascii_white_space(c);
    const char* p = s.data();
    return unicode::is_white_space(utf8::decode(p));
}

bool ends_with_white_space(std::string_view s) noexcept {
    const unsigned char c = static_cast<unsigned char>(s.back());
    if (c < 0x80) return ascii_white_space(c);
    std::size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    const char* p = s.data() + start;
    return unicode::is_white_space(utf8::decode(p));
}

// A character after a lead byte of kLead that cannot stand in plain text:
// C1 controls (NEL among them, a line break to the reader), the line and
// paragraph separators, the byte order mark, U+FFFE and U+FFFF.
bool is_unsafe_sequence(const unsigned char* p, std::size_t left) noexcept {
    switch (p[0]) {
        case 0xC2: return left >= 2 && p[1] <= 0x9F;
        case 0xE2: return left >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9);
        case 0xEF:
            return left >= 3 && ((p[1] == 0xBB && p[2] == 0xBF) || (p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)));
        default: return false;
    }
}

// An optional sign, then "inf", "infinity" or "nan" in any case, or a
// decimal literal (digits with at most one point, at least one digit, an
// optional exponent). Every decimal integer is one.
bool is_float_literal(std::string_view s) noexcept {
    std::size_t i = 0;
    if (s[0] == '+' || s[0] == '-') i = 1;
    const std::string_view rest = s.substr(i);
    if (rest.size() == 3 || rest.size() == 8) {
        char word[8];
        for (std::size_t k = 0; k < rest.size(); ++k) word[k] = lower(rest[k]);
        const std::string_view w(word, rest.size());
        if (w == "inf" || w == "nan" || w == "infinity") return true;
    }
    std::size_t digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (is_digit(s[i])) ++digits;
        else if (s[i] == '.' && !point) point = true;
        else break;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == s.size();
}

// Starts with "+", "-" or a digit and holds only ASCII letters, digits,
// blanks and "+-.:_".
bool is_number_like(std::string_view s) noexcept {
    if (!(s[0] == '+' || s[0] == '-' || is_digit(s[0]))) return false;
    for (const char c : s) {
        const bool ok = is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z') || c == ' ' || c == '+' || c == '-' ||
                        c == '.' || c == ':' || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool is_special_word(std::string_view s) noexcept {
    if (s.size() > 5) return false;
    char word[5];
    for (std::size_t k = 0; k < s.size(); ++k) {
        const char c = lower(s[k]);
        if (c < 'a' || c > 'z') return false;  // only ASCII letters can lower-case into these words
        word[k] = c;
    }
    const std::string_view w(word, s.size());
    return w == "n" || w == "y" || w == "no" || w == "on" || w == "yes" || w == "off" || w == "null" ||
           w == "true" || w == "false";
}

}  // namespace

bool needs_quotes(std::string_view s) noexcept {
    if (s.empty()) return true;
    if (starts_with_white_space(s) || ends_with_white_space(s)) return true;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t size = s.size();
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t cls = kByteClass[p[i]];
        if (cls == kOrdinary) [[likely]] continue;
        if (cls == kQuote || is_unsafe_sequence(p + i, size - i)) return true;
    }
    const unsigned char first = p[0];
    if (first < 0x80 && kIndicator[first]) return true;
    if (first == '.' || first == '~') {
        if (s == ".inf" || s == ".Inf" || s == ".INF" || s == ".nan" || s == ".NaN" || s == ".NAN" || s == "~") {
            return true;
        }
        // "..." alone or before a blank ends a document.
        if (s.starts_with("...") && (size == 3 || s[3] == ' ' || s[3] == '\t')) return true;
    }
    if (is_special_word(s)) return true;
    if (first == '+' || first == '-' || first == '.' || is_digit(static_cast<char>(first)) || lower(first) == 'i' ||
        lower(first) == 'n') {
        if (is_float_literal(s)) return true;
    }
    return is_number_like(s);
}

void write_quoted(OutBuffer& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char* p = text.data();
    const char* const end = p + text.size();
    // Worst case: every byte a six-byte escape.
    char* const start = out.room(2 + 6 * text.size());
    char* w = start;
    *w++ = '"';
    while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            ++p;
            if (c >= 0x20 && c != '"' && c != '\\' && c != 0x7F) [[likely]] {
                *w++ = static_cast<char>(c);
                continue;
            }
            *w++ = '\\';
            switch (c) {
                case '"': *w++ = '"'; break;
                case '\\': *w++ = '\\'; break;
                case '\t': *w++ = 't'; break;
                case '\r': *w++ = 'r'; break;
                case '\n': *w++ = 'n'; break;
                case 0: *w++ = '0'; break;
                default:
                    *w++ = 'u';
                    *w++ = '0';
                    *w++ = '0';
                    *w++ = kHex[c >> 4];
                    *w++ = kHex[c & 0xF];
            }
            continue;
        }
        const char* const sequence = p;
        const char32_t cp = utf8::decode(p);
        if (unicode::is_printable(cp) && !unicode::is_grapheme_extend(cp)) {
            for (const char* q = sequence; q < p; ++q) *w++ = *q;
            continue;
        }
        // At most 10 bytes for at least 2 bytes of input: within the room.
        *w++ = '\\';
        if (cp <= 0xFFFF) {
            *w++ = 'u';
            for (int shift = 12; shift >= 0; shift -= 4) *w++ = kHex[(cp >> shift) & 0xF];
        } else {
            *w++ = 'U';
            for (int shift = 28; shift >= 0; shift -= 4) *w++ = kHex[(cp >> shift) & 0xF];
        }
    }
    *w++ = '"';
    out.commit(static_cast<std::size_t>(w - start));
}

namespace {

class Writer {
public:
    explicit Writer(OutBuffer& out) : out_(out) {}

    // Why the text does not read back as the tree, for the first value met
    // that has no YAML form; empty when it does.
    const std::string& refusal() const noexcept { return refusal_; }

    void root(const Node* node) {
        switch (node->kind()) {
            case Kind::List:
                if (node->size() == 0) out_.append("[]\n", 3);
                else sequence(node, 0, false);
                return;
            case Kind::Map:
                if (node->size() == 0) out_.append("{}\n", 3);
                else mapping(node, 0, true);
                return;
            default:
                scalar(node);
                out_.push('\n');
        }
    }

private:
    // Depth is bounded by the conversion that built the tree.
    const Node* sequence(const Node* list, std::size_t indent, bool continue_first) {
        const Node* item = list->first_child();
        for (std::uint64_t i = 0; i < list->size(); ++i) {
            if (i > 0 || !continue_first) out_.fill(' ', indent);
            out_.append("- ", 2);
            item = block_item(item, indent);
        }
        return item;
    }

    // An item after "- ": a nested collection starts on the same line.
    const Node* block_item(const Node* item, std::size_t indent) {
        switch (item->kind()) {
            case Kind::List:
                if (item->size() == 0) {
                    out_.append("[]\n", 3);
                    return item + 1;
                }
                return sequence(item, indent + 2, true);
            case Kind::Map:
                if (item->size() == 0) {
                    out_.append("{}\n", 3);
                    return item + 1;
                }
                return mapping(item, indent + 2, false);
            default:
                scalar(item);
                out_.push('\n');
                return item + 1;
        }
    }

    const Node* mapping(const Node* map, std::size_t indent, bool pad_first) {
        const Node* child = map->first_child();
        for (std::uint64_t i = 0; i < map->size(); ++i) {
            if (i > 0 || pad_first) out_.fill(' ', indent);
            const std::size_t key_start = out_.size();
            string(child->str());
            if (out_.size() - key_start > kMaxImplicitKey) [[unlikely]] explicit_key(key_start, indent);
            const Node* value = child + 1;
            // The loader merges the list or mapping of a "<<" key, quoted or
            // not, into the enclosing mapping.
            if (value->is_container() && child->str() == "<<" && refusal_.empty()) [[unlikely]] {
                refusal_ = "key << holds a list or mapping, which yaml reads back as a merge";
            }
            switch (value->kind()) {
                case Kind::List:
                    if (value->size() == 0) {
                        out_.append(": []\n", 5);
                        child = value + 1;
                    } else {
                        out_.append(":\n", 2);
                        child = sequence(value, indent, false);
                    }
                    break;
                case Kind::Map:
                    if (value->size() == 0) {
                        out_.append(": {}\n", 5);
                        child = value + 1;
                    } else {
                        out_.append(":\n", 2);
                        child = mapping(value, indent + 2, true);
                    }
                    break;
                default:
                    out_.append(": ", 2);
                    scalar(value);
                    out_.push('\n');
                    child = value + 1;
            }
        }
        return child;
    }

    // A key of more than 1024 characters cannot stand before ":" on its own:
    // it is written as an explicit key, "? key", and its ":" goes on the
    // next line at the key's indentation.
    static constexpr std::size_t kMaxImplicitKey = 1024;

    [[gnu::cold]] void explicit_key(std::size_t key_start, std::size_t indent) {
        const std::size_t length = out_.size() - key_start;
        if (utf8::count_chars(std::string_view(out_.data() + key_start, length)) <= kMaxImplicitKey) return;
        char* const base = out_.room(2) - out_.size();
        std::memmove(base + key_start + 2, base + key_start, length);
        base[key_start] = '?';
        base[key_start + 1] = ' ';
        out_.commit(2);
        out_.push('\n');
        out_.fill(' ', indent);
    }

    void scalar(const Node* node) {
        switch (node->kind()) {
            case Kind::Null: out_.append("null", 4); return;
            case Kind::Bool:
                if (node->boolean) out_.append("true", 4);
                else out_.append("false", 5);
                return;
            case Kind::Int: write_int(out_, node->integer); return;
            case Kind::BigInt:
                // The loader reads a decimal integer beyond 64 bits as a
                // float: the text is written through, the error kept.
                if (refusal_.empty()) [[unlikely]] {
                    refusal_ = "integer ";
                    refusal_ += node->str();
                    refusal_ += " is beyond 64 bits, which yaml reads back as a float";
                }
                out_.append(node->str());
                return;
            case Kind::Float: {
                const double x = node->real;
                if (std::isnan(x)) out_.append(".nan", 4);
                else if (std::isinf(x)) out_.append(x > 0 ? std::string_view(".inf") : std::string_view("-.inf"));
                else write_float_shortest(out_, x);
                return;
            }
            case Kind::Str: string(node->str()); return;
            default: return;
        }
    }

    void string(std::string_view text) {
        if (needs_quotes(text)) write_quoted(out_, text);
        else out_.append(text);
    }

    OutBuffer& out_;
    std::string refusal_;
};

}  // namespace

Status write_yaml(OutBuffer& out, const ConfigTree& tree) {
    Writer writer(out);
    writer.root(&tree.root());
    if (!writer.refusal().empty()) [[unlikely]] return value_error(writer.refusal());
    return Status::success();
}

}  // namespace tabrix::yaml
