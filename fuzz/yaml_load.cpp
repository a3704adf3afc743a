// YAML text -> config tree. A document that loads must also survive the
// writer: its YAML text loads back to the same value.
#include "common.hpp"
#include "core/yaml/loader.hpp"
#include "core/yaml/writer.hpp"

using namespace tabrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    if (!utf8::is_valid(text)) return -1;  // loads takes a str: always valid UTF-8
    Result<ConfigTree> tree = yaml::load(text);
    if (!tree) {
        const Error& error = tree.error();
        fuzz::check(error.kind == ErrorKind::Value || error.kind == ErrorKind::Recursion, "unexpected error kind",
                    {error.message});
        fuzz::check(!error.message.empty(), "empty error message");
        return 0;
    }
    // Aliases can stack anchored collections deeper than the loader accepts,
    // and copy them far beyond what a quick round trip should handle.
    if (tree->node_count() > 100000 || fuzz::depth_of(&tree->root()) > yaml::kMaxDepth) return 0;
    OutBuffer out;
    Status written = yaml::write_yaml(out, *tree);
    if (!written) fuzz::fail("a loaded tree cannot be written", {text, written.error().message});
    fuzz::check(utf8::is_valid(out.view()), "the writer made invalid UTF-8", {text});
    Result<ConfigTree> again = yaml::load(out.view());
    if (!again) fuzz::fail("written YAML does not load", {text, out.view(), again.error().message});
    fuzz::Equality eq;
    eq.python_keys = true;  // keys made text can repeat (1 and "1"); a dict keeps one
    if (!fuzz::same_tree(*tree, *again, eq)) {
        fuzz::fail("written YAML loads as another value", {text, out.view(), fuzz::show(*tree), fuzz::show(*again)});
    }
    return 0;
}
