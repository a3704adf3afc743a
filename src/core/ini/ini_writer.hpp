// The pieces of INI text that ini.dumps writes for names and option values
// (the walk over the Python dicts is the binding's).
#pragma once

#include <string_view>

#include "core/text/out_buffer.hpp"

namespace tabrix::ini {

// Whether `text` starts or ends with white space, which the reader trims from
// section names, option names and plain values (Unicode White_Space, line
// breaks included).
bool has_white_space_edge(std::string_view text);

// A section name as written between "[" and "]": backslash, "]", line feed
// and carriage return escaped, so that the reader decodes the same name.
// Names with white space at either end have no form (the reader trims them).
void write_ini_section_name(OutBuffer& out, std::string_view name);

// An option name as written before " = ": backslash, "=", ":", line feed and
// carriage return escaped anywhere, and a first "[", ";" or "#" (a section
// header or a comment otherwise) escaped too. Empty names and names with
// white space at either end have no form.
void write_ini_option_name(OutBuffer& out, std::string_view name);

// A value text as the reader gives it back. A value with white space at
// either end is written between double quotes (backslash, double quote, line
// feed and carriage return escaped), since the reader trims a plain value.
// Any other value is written plain: every backslash doubled, every line feed
// written as backslash n and every carriage return as backslash r, and a
// quote that would open the value preceded by a backslash. Unescaped, a
// carriage return would end the value early and a leading quote would open a
// quoted part running on to the next quote of the file: either would corrupt
// the options that follow.
void write_ini_escaped(OutBuffer& out, std::string_view text);

// A float in plain positional notation from its shortest round-trip digits
// ("1", "2.5", "0.0000001", "100000000000000000000", "-0"), or "NaN", "inf",
// "-inf".
void write_ini_float(OutBuffer& out, double value);

}  // namespace tabrix::ini
