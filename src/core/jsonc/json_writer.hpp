// Compact strict JSON text of a config tree: no blanks, no line breaks, keys
// in tree order, NaN and infinities as null, non-ASCII text unescaped.
#pragma once

#include "core/text/out_buffer.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::jsonc {

void write_json(OutBuffer& out, const ConfigTree& tree);

// A JSON string literal: quotes, the two-character escapes for \" \\ \b \t
// \n \f \r, \u00XX for the other control characters, everything else as is.
void write_json_string(OutBuffer& out, std::string_view text);

}  // namespace tabrix::jsonc
