// format_toml_error: the located frame around a parse error's message.
#include <string>

#include "core/text/utf8.hpp"
#include "core/toml/parser.hpp"

namespace tabrix::toml {

std::string format_toml_error(std::string_view source, const ParseError& error) {
    // Position of the span's start: 0-based line and column, the column in
    // characters. An offset past the last byte (an error at the end of the
    // text) is clamped onto it and the difference added to the column.
    std::size_t line = 0;
    std::size_t column = error.start;
    std::size_t line_start = 0;
    if (!source.empty()) {
        const std::size_t offset = error.start < source.size() ? error.start : source.size() - 1;
        const std::size_t clamped = error.start - offset;
        const std::size_t newline = offset == 0 ? std::string_view::npos : source.rfind('\n', offset - 1);
        line_start = newline == std::string_view::npos ? 0 : newline + 1;
        for (std::size_t i = 0; i < line_start; ++i) line += source[i] == '\n';
        const std::string_view stretch = source.substr(line_start, offset - line_start);
        column = (utf8::is_valid(stretch) ? utf8::count_chars(stretch) : stretch.size()) + clamped;
    }
    // The line's text, without its line break.
    std::size_t line_end = source.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = source.size();
    if (line_end > line_start && source[line_end - 1] == '\r') --line_end;
    const std::string_view text = source.substr(line_start, line_end - line_start);

    const std::string number = std::to_string(line + 1);
    const std::string gutter(number.size() + 1, ' ');
    const std::size_t span = error.end > error.start ? error.end - error.start : 0;
    const std::size_t room = text.size() > column ? text.size() - column : 0;
    std::size_t carets = span < room ? span : room;
    if (carets == 0) carets = 1;

    std::string out;
    out.reserve(96 + 2 * text.size() + column + carets + error.message.size());
    out += "TOML parse error at line ";
    out += number;
    out += ", column ";
    out += std::to_string(column + 1);
    out += '\n';
    out += gutter;
    out += "|\n";
    out += number;
    out += " | ";
    out += text;
    out += '\n';
    out += gutter;
    out += '|';
    out.append(column + 1, ' ');
    out.append(carets, '^');
    out += '\n';
    out += error.message;
    out += '\n';
    return out;
}

}  // namespace tabrix::toml
