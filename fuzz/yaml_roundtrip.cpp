// Config tree -> YAML -> config tree for the values YAML can hold as written
// (distinct keys, no "<<" key, which the loader reads as a merge, integers
// within 64 bits): the same tree; nested deeper than the loader's limit it
// fails cleanly.
#include "common.hpp"
#include "core/yaml/loader.hpp"
#include "core/yaml/writer.hpp"

using namespace tabrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::TreeShape shape;
    shape.big_ints = false;  // a decimal integer beyond 64 bits reads as a float
    shape.unique_keys = true;
    shape.merge_keys = false;
    shape.max_depth = yaml::kMaxDepth + 2;
    const ConfigTree tree = fuzz::TreeGenerator(in, shape).make();
    OutBuffer out;
    Status written = yaml::write_yaml(out, tree);
    if (!written) fuzz::fail("the writer refused a tree", {fuzz::show(tree), written.error().message});
    if (!utf8::is_valid(out.view())) fuzz::fail("the writer made invalid UTF-8", {fuzz::show(tree)});
    Result<ConfigTree> back = yaml::load(out.view());
    if (fuzz::depth_of(&tree.root()) > yaml::kMaxDepth) {
        fuzz::check(!back, "nesting beyond the limit loaded", {out.view()});
        return 0;
    }
    if (!back) fuzz::fail("written YAML does not load", {fuzz::show(tree), out.view(), back.error().message});
    if (!fuzz::same_tree(tree, *back)) {
        fuzz::fail("YAML reads back as another value", {fuzz::show(tree), out.view(), fuzz::show(*back)});
    }
    return 0;
}
