// Compact strict JSON text of a config tree: no blanks, no line breaks, keys
// in tree order, non-ASCII text unescaped. Infinities are written 1e999 and
// -1e999, which read back as infinities.
#pragma once

#include "core/error.hpp"
#include "core/text/out_buffer.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::jsonc {

// JSON has no form for a NaN: the text is written through with null in its
// place and the error "nan has no json form" is returned.
Status write_json(OutBuffer& out, const ConfigTree& tree);

// A JSON string literal: quotes, the two-character escapes for \" \\ \b \t
// \n \f \r, \u00XX for the other control characters, everything else as is.
void write_json_string(OutBuffer& out, std::string_view text);

}  // namespace tabrix::jsonc
