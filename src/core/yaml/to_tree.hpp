// The document node to a config tree: aliases expanded, merge keys applied,
// keys made text, every node counted against the node budget.
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/tree/config_tree.hpp"
#include "core/yaml/document.hpp"

namespace tabrix::yaml {

// Converts the node at `root`; the tree takes over the document's text. Fails with "node budget exceeded (alias
// expansion?)" after `budget` nodes, "non-scalar YAML mapping key: {node}",
// "unsupported YAML node: BadValue", or a RecursionError past kMaxNesting.
Result<ConfigTree> to_config_tree(Document&& doc, std::uint64_t root, std::uint64_t budget);

}  // namespace tabrix::yaml
