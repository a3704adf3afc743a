// TOML text -> config tree; a document that loads can be written (the
// writer's checks pass) and its TOML text loads back to the same value.
#include "common.hpp"
#include "core/toml/parser.hpp"
#include "core/toml/writer.hpp"

using namespace tabrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    if (!utf8::is_valid(text)) return -1;  // loads takes a str: always valid UTF-8
    const std::string source(text);  // ends in a NUL; outlives the tree
    Result<ConfigTree> tree = toml::parse_toml(source);
    if (!tree) {
        const Error& error = tree.error();
        fuzz::check(error.kind == ErrorKind::Value, "unexpected error kind", {error.message});
        fuzz::check(error.message.starts_with("TOML parse error at line "), "unframed error", {error.message});
        fuzz::check(utf8::is_valid(error.message), "error message is not UTF-8", {text});
        return 0;
    }
    fuzz::check(tree->root().kind() == Kind::Map, "root is not a table");
    if (!fuzz::unique_keys(&tree->root())) fuzz::fail("a table holds a key twice", {text, fuzz::show(*tree)});
    Status writable = toml::tree_to_toml(*tree);
    if (!writable) fuzz::fail("a loaded document cannot be written", {text, writable.error().message});
    OutBuffer out;
    toml::write_toml_document(out, *tree);
    fuzz::check(utf8::is_valid(out.view()), "the writer made invalid UTF-8", {text});
    const std::string written(out.view());
    Result<ConfigTree> again = toml::parse_toml(written);
    if (!again) fuzz::fail("written TOML does not load", {text, out.view(), again.error().message});
    fuzz::Equality eq;
    eq.ordered_maps = false;  // the writer puts a table's scalars before its sub-tables
    if (!fuzz::same_tree(*tree, *again, eq)) {
        fuzz::fail("written TOML loads as another value", {text, out.view(), fuzz::show(*tree), fuzz::show(*again)});
    }
    return 0;
}
