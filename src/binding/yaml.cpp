// yaml.loads and yaml.dumps.
#include <optional>
#include <string>

#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "binding/tree_convert.hpp"
#include "core/yaml/loader.hpp"
#include "core/yaml/writer.hpp"

namespace tabrix::py {

namespace {

PyResult loads(PyObject*, Text data) {
    std::string buffer(data.utf8);  // private copy, read without the lock
    ConversionTurn turn;
    std::optional<Result<ConfigTree>> tree;
    {
        WithoutGil unlocked(turn);
        tree.emplace(yaml::load(buffer));
        std::string().swap(buffer);
    }
    if (!*tree) return std::move(*tree).error();
    return tree_to_python(tree->value());
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
