// The pieces of INI text that ini.dumps writes for option values (the walk
// over the Python dicts is the binding's).
#pragma once

#include <string_view>

#include "core/text/out_buffer.hpp"

namespace tabrix::ini {

// A value text as the reader gives it back: every backslash doubled, every
// line feed written as backslash n and every carriage return as backslash r,
// and a quote that would open the value (after leading blanks) preceded by a
// backslash. Unescaped, a carriage return would end the value early and a
// leading quote would open a quoted part running on to the next quote of the
// file: either would corrupt the options that follow.
void write_ini_escaped(OutBuffer& out, std::string_view text);

// A float in plain positional notation from its shortest round-trip digits
// ("1", "2.5", "0.0000001", "100000000000000000000", "-0"), or "NaN", "inf",
// "-inf".
void write_ini_float(OutBuffer& out, double value);

}  // namespace tabrix::ini
