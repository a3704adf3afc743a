// jsonc.loads and jsonc.dumps.
#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "binding/tree_convert.hpp"
#include "core/jsonc/jsonc_parser.hpp"

namespace tabrix::py {

namespace {

// The text is copied (the parser wants zero bytes after it) without the
// lock, as the other loaders read theirs: a str's UTF-8 form never changes
// and lives as long as the str, which the caller holds for the whole call.
// Two threads loading at once then share the lock only for building objects.
PyResult loads(PyObject*, Text data) {
    ConversionTurn turn;
    Result<ConfigTree> tree = [&] {
        WithoutGil released(turn);
        return jsonc::parse(jsonc::Source(data.utf8));
    }();
    if (!tree) return std::move(tree).error();
    return tree_to_python(*tree);
}

PyResult dumps(PyObject*, PyObject* obj) {
    OutBuffer out;
    Outcome<bool> ascii = json_from_python(obj, out);
    if (!ascii) return std::move(ascii).error();
    // Text made only of ASCII strings needs no scan for the str's kind.
    if (*ascii) return PyResult::from(str_from_ascii(out.data(), out.size()));
    return PyResult::from(str_from_utf8(out.data(), out.size()));
}

}  // namespace

PyMethodDef jsonc_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
