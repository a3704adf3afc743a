// yaml.dumps: a config tree as block-style YAML.
//
// Two-space indentation, block collections throughout (flow style only for
// empty ones), no document markers, every line ended by a line feed. A string
// is written plain unless plain text would read back as something else; then
// it is double-quoted with escapes.
#pragma once

#include <string_view>

#include "core/error.hpp"
#include "core/text/out_buffer.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::yaml {

// Two values have no YAML form that reads back as themselves: an integer
// beyond 64 bits (read back as a float) and a list or mapping under the key
// "<<" (read back as a merge). The text is written through and a ValueError
// is returned for the first one met: "integer {digits} is beyond 64 bits,
// which yaml reads back as a float" or "key << holds a list or mapping, which
// yaml reads back as a merge".
Status write_yaml(OutBuffer& out, const ConfigTree& tree);

// Whether `text` (valid UTF-8) must be written quoted.
bool needs_quotes(std::string_view text) noexcept;

// The double-quoted form of `text`.
void write_quoted(OutBuffer& out, std::string_view text);

}  // namespace tabrix::yaml
