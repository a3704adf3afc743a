// TOML text of a config tree, in one fixed layout: each table's scalars and
// inline arrays as `key = value` lines, then its sub-tables under [headers]
// and its arrays of tables under [[headers]], depth first in mapping order;
// arrays and tables inside arrays on one line; every string in the plainest
// TOML form that holds it. No dotted keys are written.
#pragma once

#include <string_view>

#include "core/error.hpp"
#include "core/text/out_buffer.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::toml {

// Whether TOML can hold the tree: ValueError "TOML cannot represent null"
// for the first null, "TOML cannot hold the integer {text} (beyond its
// 64-bit range)" for the first big integer outside 64 bits (both in
// document order), "TOML document root must be a table" for a root that is
// not a mapping.
Status tree_to_toml(const ConfigTree& tree);

// Writes a tree that passed tree_to_toml.
void write_toml_document(OutBuffer& out, const ConfigTree& tree);

// A key: bare when it can be, else a basic or literal string.
void encode_toml_key(OutBuffer& out, std::string_view key);
// A string value in the first of six forms that holds it: basic, literal,
// multi-line basic, multi-line literal, multi-line basic with escapes,
// basic with escapes.
void encode_toml_string(OutBuffer& out, std::string_view text);
// A float in plain positional notation ("1.0", "0.0000001", "nan", "-inf").
void format_toml_float(OutBuffer& out, double value);

}  // namespace tabrix::toml
