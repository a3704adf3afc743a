// The config tree's two conversions: from any Python value (for the writers of
// yaml/toml/jsonc dumps) and to plain Python objects (the last step of the
// yaml and jsonc loaders; toml.loads converts its own document in the same
// way). Both run with the interpreter lock held and stop
// nesting deeper than kMaxNesting with RecursionError.
#pragma once

#include "binding/errors.hpp"
#include "core/text/out_buffer.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::py {

// None, bool, str, int, float, list, tuple and dict (and their subclasses)
// become tree values; anything else fails with TypeError "cannot represent
// {type} in a config tree", a non-str key with "config keys must be strings".
Outcome<ConfigTree> tree_from_python(PyObject* object);

// jsonc.dumps without the tree: `object` walked as tree_from_python walks it
// (the same types, order and errors) and written as compact JSON into `out`.
// The result tells whether the text is known to be ASCII.
Outcome<bool> json_from_python(PyObject* object, OutBuffer& out);

// Exact built-in types only; a Map's repeated keys keep their first position
// and their last value.
PyResult tree_to_python(const ConfigTree& tree);

}  // namespace tabrix::py
