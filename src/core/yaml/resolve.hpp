// YAML scalar resolution: what the text of a scalar stands for.
//
// The core schema's words and number forms, with integers limited to signed
// 64 bits (a larger decimal integer reads as a float), a quoted or block
// scalar always a string, and a core tag that asks for a type the text cannot
// have giving a bad value rather than an error.
#pragma once

#include <cstdint>
#include <string_view>

namespace tabrix::yaml {

// The value a scalar's text resolves to.
struct Scalar {
    enum class Kind : std::uint8_t { Null, Boolean, Integer, Float, String, Bad };
    Kind kind;
    union {
        bool boolean;
        std::int64_t integer;
        double real;
    };

    explicit Scalar(Kind k) noexcept : kind(k), real(0.0) {}
    static Scalar null() noexcept { return Scalar(Kind::Null); }
    static Scalar string() noexcept { return Scalar(Kind::String); }
    static Scalar bad() noexcept { return Scalar(Kind::Bad); }
    static Scalar of_bool(bool value) noexcept {
        Scalar s(Kind::Boolean);
        s.boolean = value;
        return s;
    }
    static Scalar of_int(std::int64_t value) noexcept {
        Scalar s(Kind::Integer);
        s.integer = value;
        return s;
    }
    static Scalar of_float(double value) noexcept {
        Scalar s(Kind::Float);
        s.real = value;
        return s;
    }
};

// resolve_plain for a text whose first character may start a number or one
// of the null and boolean words.
Scalar resolve_typed(std::string_view text) noexcept;

// Whether a plain scalar starting with `c` may be anything but a string.
inline bool may_be_typed(char c) noexcept {
    switch (c) {
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        case '+': case '-': case '.': case '~': case 'n': case 'N': case 't': case 'T': case 'f': case 'F':
            return true;
        default:
            return false;
    }
}

// The text of a plain scalar without a tag: prefixed integers (+, 0o, 0x),
// the null and boolean words, decimal integers, floats, else a string.
// Inline: most plain scalars, keys above all, are strings by their first
// character, and then no call is made.
inline Scalar resolve_plain(std::string_view text) noexcept {
    if (text.empty() || !may_be_typed(text[0])) return Scalar::string();
    return resolve_typed(text);
}

// A plain scalar with the core-schema tag whose suffix (the part after
// "tag:yaml.org,2002:") is `suffix`: "str", "int", "float", "bool", "null";
// any other suffix, or text that the tag's type cannot have, is bad.
Scalar resolve_core_tagged(std::string_view suffix, std::string_view text) noexcept;

// One or more digits of `base` (10, 8 or 16) and nothing else, after one
// optional "+" or "-" when `allow_sign`; false when the form is wrong or the
// value is outside the signed 64-bit range.
bool read_integer(std::string_view text, int base, bool allow_sign, std::int64_t& out) noexcept;

// ".inf" and ".nan" in their three spellings (an infinity with an optional
// sign), or a decimal literal in full: optional sign, digits with at most one
// point (digits on at least one side), optional exponent. Correctly rounded;
// too large gives an infinity, too small a zero.
bool read_float(std::string_view text, double& out) noexcept;

}  // namespace tabrix::yaml
