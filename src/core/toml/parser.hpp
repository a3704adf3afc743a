// The TOML v1.1.0 loader: one pass over the text, no backtracking, into the
// config tree. Dates and times become text built from their parts; every error
// is reported with the byte span it points at, framed by format_toml_error.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::toml {

// How deep arrays, inline tables and tables may nest below the root.
inline constexpr std::size_t kRecursionLimit = 512;

// A parse error: the message and the byte span [start, end) of the text
// (after a leading byte-order mark) that it points at.
struct ParseError {
    std::size_t start = 0;
    std::size_t end = 0;
    std::string message;
};

// Parses a whole document. `text` is the document as UTF-8 (a leading
// U+FEFF is skipped), followed by a NUL byte that the parser reads as its end
// (as a std::string's data and a Python str's UTF-8 form are); the result is
// the root table, whose strings may point into `text`, which must outlive it,
// or ValueError with the framed message of format_toml_error.
Result<ConfigTree> parse_toml(std::string_view text);

class Document;

// The same reading without the config tree, for a caller that walks the
// loader's own document (toml.loads builds its Python values straight from
// it). The document's strings point into `text` (with the same NUL after
// it) or into the reader's storage: both must outlive the walk.
class Reader {
public:
    explicit Reader(std::string_view text);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Reads the whole text, once: afterwards document() holds the root
    // table, or the result is the ValueError of format_toml_error.
    Status read();
    const Document& document() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The error text: "TOML parse error at line {line}, column {column}", the
// line with a gutter and carets under the span, and the message, each line
// ended by a newline. Lines and columns count from 1, columns in characters.
std::string format_toml_error(std::string_view source, const ParseError& error);

}  // namespace tabrix::toml
