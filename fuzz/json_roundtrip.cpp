// Config tree -> JSON -> config tree (through the JSONC parser): the same
// tree, infinities included; a tree holding a NaN is refused; deeper than the
// parser's nesting limit it fails cleanly.
#include "common.hpp"
#include "core/jsonc/json_writer.hpp"
#include "core/jsonc/jsonc_parser.hpp"

using namespace tabrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::TreeShape shape;
    shape.max_depth = jsonc::kMaxDepth + 2;
    const ConfigTree tree = fuzz::TreeGenerator(in, shape).make();
    OutBuffer out;
    Status written = jsonc::write_json(out, tree);
    if (!written) {
        fuzz::check(fuzz::holds_nan(&tree.root()), "the writer refused a tree without a NaN",
                    {written.error().message});
        return 0;
    }
    fuzz::check(!fuzz::holds_nan(&tree.root()), "the writer took a NaN", {out.view()});
    if (!utf8::is_valid(out.view())) fuzz::fail("the writer made invalid UTF-8", {fuzz::show(tree)});
    Result<ConfigTree> back = jsonc::parse(jsonc::Source(out.view()));
    if (fuzz::depth_of(&tree.root()) > jsonc::kMaxDepth) {
        fuzz::check(!back && back.error().message.starts_with("Maximum nesting depth exceeded"),
                    "nesting beyond the limit", {out.view()});
        return 0;
    }
    if (!back) fuzz::fail("written JSON does not load", {out.view(), back.error().message});
    if (!fuzz::same_tree(tree, *back)) fuzz::fail("JSON reads back as another value", {out.view(), fuzz::show(*back)});
    return 0;
}
