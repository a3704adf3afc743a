#include "core/interpolate/expand.hpp"

#include <array>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "core/text/scan.hpp"
#include "core/text/unicode.hpp"
#include "core/text/utf8.hpp"

namespace tabrix::interpolate {

namespace {

constexpr std::string_view kLoneDollar = "lone $ (escape it as $$)";
constexpr std::string_view kUnterminated = "unterminated ${";
constexpr std::string_view kMissingName = "missing variable name";
constexpr std::string_view kUnknownOperator = "unknown operator";

// Bit 0: may start a name (ASCII letter, "_"); bit 1: may continue one
// (also a digit).
constexpr std::array<std::uint8_t, 256> kNameBytes = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 'a'; c <= 'z'; ++c) table[c] = 3;
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = 3;
    table['_'] = 3;
    for (int c = '0'; c <= '9'; ++c) table[c] = 2;
    return table;
}();

inline bool starts_name(char c) { return kNameBytes[static_cast<unsigned char>(c)] & 1; }

// The end of the name that starts at `p` (which starts_name).
inline const char* name_end(const char* p, const char* end) {
    ++p;
    while (p < end && (kNameBytes[static_cast<unsigned char>(*p)] & 2)) ++p;
    return p;
}

void append_code_point(std::string& message, char32_t cp) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHex[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    message += "\\u{";
    while (count > 0) message.push_back(digits[--count]);
    message.push_back('}');
}

class Expansion {
public:
    Expansion(Variables& variables, OutBuffer& out, Error& error) : variables_(variables), out_(out), error_(error) {}

    // Expands `text`, a word nested `depth` levels deep (0 for the whole text).
    Outcome run(std::string_view text, unsigned depth);

private:
    // The value of `name` (empty when unset); false when the lookup failed.
    bool lookup(std::string_view name, bool& set, std::string_view& value) {
        switch (variables_.find(name, value)) {
            case Variables::Found::Set:
                set = true;
                return true;
            case Variables::Found::Unset:
                set = false;
                value = {};
                return true;
            case Variables::Found::Failed:
                break;
        }
        return false;
    }
    const char* closing_brace(const char* body, const char* end);
    Outcome word(std::string_view text, std::string_view word, unsigned depth);
    [[gnu::cold, gnu::noinline]] Outcome invalid(std::string_view text, std::string_view reason);
    [[gnu::cold, gnu::noinline]] Outcome too_deep(std::string_view text);
    [[gnu::cold, gnu::noinline]] Outcome missing(std::string_view name, std::size_t message_start);

    Variables& variables_;
    OutBuffer& out_;
    Error& error_;
    // Bodies of references nested in a body already scanned -> their closing
    // "}": a word is expanded inside the scan of its own body, so without
    // this each level of "${A:-${A:-...}}" would scan the rest of the text
    // again, quadratic time for deep nesting.
    std::unordered_map<const char*, const char*> closes_;
    std::vector<const char*> open_;
};

// The "}" that closes a body starting at `body`: every "${" inside opens a
// level of its own (the pair is taken together) that a "}" closes again.
// `end` when the text ends first.
const char* Expansion::closing_brace(const char* body, const char* end) {
    if (!closes_.empty()) {
        const auto known = closes_.find(body);
        if (known != closes_.end()) return known->second;
    }
    open_.clear();
    const char* p = body;
    for (;;) {
        p = scan::find_any<false, '$', '}'>(p, end);
        if (p == end) return end;
        if (*p == '}') {
            if (open_.empty()) return p;
            closes_.emplace(open_.back(), p);
            open_.pop_back();
            ++p;
        } else if (p + 1 < end && p[1] == '{') {
            p += 2;
            open_.push_back(p);
        } else {
            ++p;
        }
    }
}

Outcome Expansion::invalid(std::string_view text, std::string_view reason) {
    std::string message = "invalid interpolation in ";
    append_quoted(message, text);
    message += ": ";
    message += reason;
    error_ = value_error(std::move(message));
    return Outcome::Invalid;
}

Outcome Expansion::too_deep(std::string_view text) {
    std::string message = "references in ";
    append_quoted(message, text);
    message += " nested deeper than " + std::to_string(kMaxWordNesting) + " levels";
    error_ = recursion_error(std::move(message));
    return Outcome::Invalid;
}

// The message of a "?" reference is the expanded word, which is the end of
// the output from `message_start` on.
Outcome Expansion::missing(std::string_view name, std::size_t message_start) {
    std::string message = "required variable ";
    message += name;
    message += " is missing a value: ";
    message += out_.view().substr(message_start);
    error_ = value_error(std::move(message));
    return Outcome::Invalid;
}

// Expands the word of a reference in `text`, one level below it.
Outcome Expansion::word(std::string_view text, std::string_view word, unsigned depth) {
    if (depth >= kMaxWordNesting) [[unlikely]] return too_deep(text);
    return run(word, depth + 1);
}

Outcome Expansion::run(std::string_view text, unsigned depth) {
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        const char* dollar = static_cast<const char*>(std::memchr(p, '$', static_cast<std::size_t>(end - p)));
        if (dollar == nullptr) {
            out_.append(p, static_cast<std::size_t>(end - p));
            return Outcome::Expanded;
        }
        out_.append(p, static_cast<std::size_t>(dollar - p));
        p = dollar + 1;
        if (p == end) return invalid(text, kLoneDollar);

        if (*p == '$') {
            out_.push('$');
            ++p;
            continue;
        }
        if (starts_name(*p)) {
            const char* after = name_end(p, end);
            bool set;
            std::string_view value;
            if (!lookup({p, static_cast<std::size_t>(after - p)}, set, value)) return Outcome::LookupFailed;
            out_.append(value);
            p = after;
            continue;
        }
        if (*p != '{') return invalid(text, kLoneDollar);

        // ${...}
        const char* body = p + 1;
        if (body == end) return invalid(text, kUnterminated);
        const char* close = closing_brace(body, end);
        if (close == end) return invalid(text, kUnterminated);
        if (body == close || !starts_name(*body)) return invalid(text, kMissingName);
        const char* after = name_end(body, close);
        const std::string_view name(body, static_cast<std::size_t>(after - body));
        p = close + 1;

        bool set;
        std::string_view value;
        if (after == close) {
            if (!lookup(name, set, value)) return Outcome::LookupFailed;
            out_.append(value);
            continue;
        }

        const bool colon = *after == ':';
        const char* op = after + colon;
        if (op == close || (*op != '-' && *op != '+' && *op != '?')) return invalid(text, kUnknownOperator);
        const std::string_view word_text(op + 1, static_cast<std::size_t>(close - op - 1));
        if (!lookup(name, set, value)) return Outcome::LookupFailed;
        const bool test = set && (!colon || !value.empty());

        Outcome outcome = Outcome::Expanded;
        switch (*op) {
            case '-':
                if (test) out_.append(value);
                else outcome = word(text, word_text, depth);
                break;
            case '+':
                if (test) outcome = word(text, word_text, depth);
                break;
            default: {  // '?'
                if (test) {
                    out_.append(value);
                    break;
                }
                const std::size_t message_start = out_.size();
                outcome = word(text, word_text, depth);
                if (outcome == Outcome::Expanded) return missing(name, message_start);
                break;
            }
        }
        if (outcome != Outcome::Expanded) return outcome;
    }
}

}  // namespace

Outcome expand(std::string_view text, Variables& variables, OutBuffer& out, Error& error) {
    return Expansion(variables, out, error).run(text, 0);
}

void append_quoted(std::string& message, std::string_view text) {
    message.reserve(message.size() + text.size() + 2);
    message.push_back('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            ++p;
            switch (c) {
                case '\\': message += "\\\\"; break;
                case '"': message += "\\\""; break;
                case '\t': message += "\\t"; break;
                case '\r': message += "\\r"; break;
                case '\n': message += "\\n"; break;
                case '\0': message += "\\0"; break;
                default:
                    if (c < 0x20 || c == 0x7F) append_code_point(message, c);
                    else message.push_back(static_cast<char>(c));
            }
            continue;
        }
        const char* start = p;
        const char32_t cp = utf8::decode(p);
        if (!unicode::is_printable(cp) || unicode::is_grapheme_extend(cp)) append_code_point(message, cp);
        else message.append(start, static_cast<std::size_t>(p - start));
    }
    message.push_back('"');
}

}  // namespace tabrix::interpolate
