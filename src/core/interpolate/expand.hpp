// Expansion of variable references in one text: `$NAME`, `${NAME}`,
// `${NAME-word}`, `${NAME+word}`, `${NAME?word}` (each operator also with a
// colon, `${NAME:-word}`, testing for a non-empty value instead of a set one)
// and `$$` for a dollar sign. Words are expanded in turn, and only when used.
//
// The variables come from a `Variables` lookup that the caller provides, so
// the expansion itself knows nothing about where they live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/text/out_buffer.hpp"

namespace tabrix::interpolate {

// Words inside words (`${A:-${B:-${C}}}`) nest at most this deep; deeper
// references fail with RecursionError.
inline constexpr unsigned kMaxWordNesting = 1024;

// Where the values of variables come from.
class Variables {
public:
    enum class Found : std::uint8_t {
        Unset,   // no variable of that name
        Set,     // `value` holds its UTF-8 text
        Failed,  // the lookup failed; the Variables keep their own error
    };

    // Looks up the variable `name` (a valid name: ASCII letters, digits and
    // "_", not starting with a digit). A value found stays valid until the
    // next call of `find`.
    virtual Found find(std::string_view name, std::string_view& value) = 0;

protected:
    ~Variables() = default;
};

enum class Outcome : std::uint8_t {
    Expanded,      // the expansion was appended to the output
    Invalid,       // a malformed or too deeply nested reference, or a missing
                   // required value: the error is filled in
    LookupFailed,  // `Variables::find` failed; its error is the one to report
};

// Appends the expansion of `text` (valid UTF-8) to `out`. On failure the
// output holds a partial expansion that the caller discards.
Outcome expand(std::string_view text, Variables& variables, OutBuffer& out, Error& error);

// `text` in double quotes for a message: a backslash before every backslash
// and double quote; \t \r \n \0 for tab, carriage return, line feed and NUL;
// \u{hex} for any other non-printable or grapheme-extending character.
void append_quoted(std::string& message, std::string_view text);

}  // namespace tabrix::interpolate
