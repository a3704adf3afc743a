// toml.loads and toml.dumps.
#include <string>

#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "binding/tree_convert.hpp"
#include "core/toml/parser.hpp"
#include "core/toml/writer.hpp"

namespace tabrix::py {

namespace {

// The text is read without the lock and without a copy: a str's UTF-8 form
// never changes, ends in a NUL byte and lives as long as the str, which the
// caller holds for the whole call. The tree, which may point into it, dies
// before the call ends.
PyResult loads(PyObject*, Text data) {
    ConversionTurn turn;
    Result<ConfigTree> tree = [&data, &turn] {
        WithoutGil released(turn);
        return toml::parse_toml(data.utf8);
    }();
    if (!tree) return std::move(tree).error();
    return tree_to_python(*tree);
}

PyResult dumps(PyObject*, PyObject* obj) {
    Outcome<ConfigTree> tree = tree_from_python(obj);
    if (!tree) return std::move(tree).error();
    if (Status checked = toml::tree_to_toml(*tree); !checked) return std::move(checked).error();
    OutBuffer out(tree->node_count() * 12);
    toml::write_toml_document(out, *tree);
    return PyResult::from(str_from_utf8(out.data(), out.size()));
}

}  // namespace

PyMethodDef toml_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
