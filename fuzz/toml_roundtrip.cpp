// Config tree -> TOML -> config tree for the values TOML can hold (a table
// at the root, no null, integers within 64 bits, distinct keys): the same
// value; any other tree is refused by the writer's check.
#include "common.hpp"
#include "core/toml/parser.hpp"
#include "core/toml/writer.hpp"

using namespace tabrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::TreeShape shape;
    const bool representable = in.ConsumeProbability<float>() < 0.9f;
    shape.nulls = shape.big_ints = !representable;
    shape.map_root = representable || in.ConsumeBool();
    shape.unique_keys = true;
    shape.max_depth = toml::kRecursionLimit + 3;
    const ConfigTree tree = fuzz::TreeGenerator(in, shape).make();
    Status writable = toml::tree_to_toml(tree);
    if (!writable) {
        if (representable) fuzz::fail("a representable tree is refused", {fuzz::show(tree), writable.error().message});
        fuzz::check(writable.error().kind == ErrorKind::Value, "refusal kind");
        return 0;
    }
    OutBuffer out;
    toml::write_toml_document(out, tree);
    if (!utf8::is_valid(out.view())) fuzz::fail("the writer made invalid UTF-8", {fuzz::show(tree)});
    const std::string written(out.view());  // ends in a NUL; outlives the tree
    Result<ConfigTree> back = toml::parse_toml(written);
    if (fuzz::depth_of(&tree.root()) > toml::kRecursionLimit) {
        if (!back) return 0;  // nested beyond the loader's limit
    }
    if (!back) fuzz::fail("written TOML does not load", {fuzz::show(tree), out.view(), back.error().message});
    fuzz::Equality eq;
    eq.ordered_maps = false;  // the writer puts a table's scalars before its sub-tables
    if (!fuzz::same_tree(tree, *back, eq)) {
        fuzz::fail("TOML reads back as another value", {fuzz::show(tree), out.view(), fuzz::show(*back)});
    }
    return 0;
}
