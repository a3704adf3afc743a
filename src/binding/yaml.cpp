// yaml.loads and yaml.dumps.
#include <optional>
#include <vector>
#include <string>

#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "binding/tree_convert.hpp"
#include "core/yaml/loader.hpp"
#include "core/yaml/writer.hpp"

namespace tabrix::py {

namespace {

// The text is read without the lock and without a copy: a str's UTF-8 form
// never changes and lives as long as the str, which the caller holds for the
// whole call. The tree, which may point into it, dies before the call ends.
PyResult loads(PyObject*, Text data) {
    ConversionTurn turn;
    std::optional<Result<ConfigTree>> tree;
    {
        WithoutGil unlocked(turn);
        tree.emplace(yaml::load(data.utf8));
    }
    if (!*tree) return std::move(*tree).error();
    return tree_to_python(tree->value());
}

// Every document of the stream, as a list (tabrix.loads_all).
// The text is read as loads reads it.
PyResult loads_all(PyObject*, Text data) {
    ConversionTurn turn;
    std::optional<Result<std::vector<ConfigTree>>> trees;
    {
        WithoutGil unlocked(turn);
        trees.emplace(yaml::load_all(data.utf8));
    }
    if (!*trees) return std::move(*trees).error();
    const std::vector<ConfigTree>& documents = trees->value();
    PyResult list = PyResult::from(PyList_New(static_cast<Py_ssize_t>(documents.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < documents.size(); ++i) {
        PyResult item = tree_to_python(documents[i]);
        if (!item) return item;
        PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), std::move(item).value().release());
    }
    return list;
}

PyResult dumps(PyObject*, PyObject* obj) {
    Outcome<ConfigTree> tree = tree_from_python(obj);
    if (!tree) return std::move(tree).error();
    OutBuffer out(tree->node_count() * 12);
    if (Status written = yaml::write_yaml(out, *tree); !written) return std::move(written).error();
    return PyResult::from(str_from_utf8(out.data(), out.size()));
}

}  // namespace

PyMethodDef yaml_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    // Private: an attribute of the submodule, left out of its __all__.
    {"_loads_all", function<kLoadsAllSignature, loads_all>(), kFastCall, "_loads_all(data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
