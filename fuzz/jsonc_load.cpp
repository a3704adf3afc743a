// JSONC text -> config tree; a tree that loads is written as JSON and read
// back to the same tree.
#include "common.hpp"
#include "core/jsonc/json_writer.hpp"
#include "core/jsonc/jsonc_parser.hpp"

using namespace tabrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    if (!utf8::is_valid(text)) return -1;  // loads takes a str: always valid UTF-8
    Result<ConfigTree> tree = jsonc::parse(jsonc::Source(text));
    if (!tree) {
        const Error& error = tree.error();
        fuzz::check(error.kind == ErrorKind::Value, "unexpected error kind", {error.message});
        fuzz::check(!error.message.empty(), "empty error message");
        return 0;
    }
    OutBuffer out;
    Status written = jsonc::write_json(out, *tree);
    if (!written) fuzz::fail("a loaded tree cannot be written", {text, written.error().message});
    fuzz::check(utf8::is_valid(out.view()), "the writer made invalid UTF-8", {text});
    Result<ConfigTree> again = jsonc::parse(jsonc::Source(out.view()));
    if (!again) fuzz::fail("written JSON does not load", {text, out.view(), again.error().message});
    if (!fuzz::same_tree(*tree, *again)) {
        fuzz::fail("written JSON loads as another value", {text, out.view(), fuzz::show(*again)});
    }
    return 0;
}
