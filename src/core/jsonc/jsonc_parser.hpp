// JSON with comments: text -> config tree.
//
// Every relaxation is on: line and block comments, bare-word keys, trailing
// and missing commas, single-quoted strings, hexadecimal numbers and a unary
// plus. Object members keep document order (a repeated key stays in the tree
// as often as it occurs; the conversion to Python keeps its first position
// and its last value). Errors read "{kind} on line {line} column {column}",
// the column counting code points; a text with no value fails with
// "jsonc document is empty".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::jsonc {

// Arrays and objects nested deeper than this fail with "Maximum nesting depth
// exceeded".
inline constexpr std::size_t kMaxDepth = 512;

// Hexadecimal integers beyond 64 bits become decimal big-integer text; past
// this many significant digits (16384 bits) the conversion is not attempted
// (it costs quadratic time) and the token's own text is handed on, which
// Python's int() then rejects.
inline constexpr std::size_t kMaxHexDigits = 4096;

// The parser's private copy of a document: the text followed by zero bytes,
// so that the scanners can read a block of 16 bytes anywhere in the text
// without a bounds check per block, and stop at the zeros. The tree keeps the
// copy: strings without escapes point into it. Its storage is the last
// finished tree's, as the tree's nodes are.
class Source {
public:
    static constexpr std::size_t kPadding = 64;

    explicit Source(std::string_view text);
    std::size_t size() const noexcept { return size_; }

private:
    friend Result<ConfigTree> parse(Source source);
    std::string buffer_;  // always longer than the small-string buffer, so moving it keeps its address
    std::size_t size_;
};

// Parses one document.
Result<ConfigTree> parse(Source source);

}  // namespace tabrix::jsonc
