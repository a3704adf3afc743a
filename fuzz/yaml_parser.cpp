// Any bytes -> YAML parser events. The event stream must be well formed
// (one stream, documents holding one node each, collections closed in
// order, mappings of whole entries), stay within a count linear in the text,
// and end in StreamEnd or an error with a description and an offset inside
// the text. Where the fast scanner reads the text, its events must be the
// parser's.
#include <string>
#include <vector>

#include "common.hpp"
#include "core/yaml/fast_scanner.hpp"
#include "core/yaml/parser.hpp"

using namespace tabrix;
using yaml::EventKind;

namespace {

std::string tagged(std::string line, std::string_view anchor, std::string_view tag) {
    if (!anchor.empty()) line += " &" + std::string(anchor);
    if (!tag.empty()) line += " <" + std::string(tag) + ">";
    return line;
}

// The fast scanner's events in the same notation as the parser's below.
struct Recorder {
    std::vector<std::string> events{"+STR"};
    bool document_start() { return add("+DOC"); }
    bool document_end() { return add("-DOC"); }
    bool scalar(std::string_view text, yaml::ScalarStyle style, std::string_view anchor, std::string_view tag) {
        return add(tagged("=VAL", anchor, tag) + " " + std::to_string(static_cast<int>(style)) + std::string(text));
    }
    bool collection_start(bool mapping, std::string_view anchor, std::string_view tag) {
        return add(tagged(mapping ? "+MAP" : "+SEQ", anchor, tag));
    }
    bool collection_end() { return add("-END"); }
    bool alias(std::string_view name) { return add("=ALI " + std::string(name)); }
    bool stream_end() { return add("-STR"); }
    bool add(std::string event) {
        events.push_back(std::move(event));
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    yaml::Parser parser(text);
    yaml::Event event;
    std::vector<std::string> events;
    // Open nodes: 'D' document, 'S' sequence, 'M' mapping (with its child count).
    std::vector<std::pair<char, std::size_t>> open;
    bool ended = false;
    const std::size_t limit = 8 * size + 64;
    const auto child = [&]() {
        fuzz::check(!open.empty(), "a node outside any document", {text});
        if (open.back().first == 'D') fuzz::check(open.back().second == 0, "a document with two nodes", {text});
        ++open.back().second;
    };
    while (parser.next(event)) {
        fuzz::check(!ended, "an event after StreamEnd", {text});
        fuzz::check(events.size() < limit, "more events than the text can hold", {text});
        fuzz::check(event.offset <= size, "an event beyond the text", {text});
        const std::string_view tag = event.tagged ? event.tag : std::string_view();
        fuzz::check(!event.tagged || !event.tag.empty(), "an empty tag", {text});
        switch (event.kind) {
            case EventKind::StreamStart:
                fuzz::check(events.empty(), "StreamStart not first", {text});
                events.push_back("+STR");
                break;
            case EventKind::StreamEnd:
                fuzz::check(open.empty(), "StreamEnd with open nodes", {text});
                ended = true;
                events.push_back("-STR");
                break;
            case EventKind::DocumentStart:
                fuzz::check(open.empty(), "a document inside a document", {text});
                open.emplace_back('D', 0);
                events.push_back("+DOC");
                break;
            case EventKind::DocumentEnd:
                fuzz::check(open.size() == 1 && open.back().first == 'D' && open.back().second == 1,
                            "a document ends without its one node", {text});
                open.pop_back();
                events.push_back("-DOC");
                break;
            case EventKind::Scalar:
                child();
                events.push_back(tagged("=VAL", event.anchor, tag) + " " +
                                 std::to_string(static_cast<int>(event.style)) + std::string(event.value));
                break;
            case EventKind::Alias:
                child();
                fuzz::check(!event.anchor.empty(), "an alias without a name", {text});
                events.push_back("=ALI " + std::string(event.anchor));
                break;
            case EventKind::SequenceStart:
            case EventKind::MappingStart: {
                const bool mapping = event.kind == EventKind::MappingStart;
                child();
                open.emplace_back(mapping ? 'M' : 'S', 0);
                events.push_back(tagged(mapping ? "+MAP" : "+SEQ", event.anchor, tag));
                break;
            }
            case EventKind::SequenceEnd:
            case EventKind::MappingEnd: {
                const char kind = event.kind == EventKind::MappingEnd ? 'M' : 'S';
                fuzz::check(!open.empty() && open.back().first == kind, "a collection closed out of order", {text});
                if (kind == 'M') fuzz::check(open.back().second % 2 == 0, "a mapping with a key and no value", {text});
                open.pop_back();
                events.push_back("-END");
                break;
            }
        }
    }
    if (parser.failed()) {
        fuzz::check(!parser.error().empty(), "an error without a description", {text});
        fuzz::check(parser.error_offset() <= size, "an error beyond the text", {text});
        (void)yaml::locate(text, parser.error_offset());
    } else {
        fuzz::check(ended, "the events stop without StreamEnd or an error", {text});
    }
    // The fast scanner reads byte order marks only as the loader leaves
    // them: after it has dropped those at the start.
    std::string_view body = text;
    while (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    if (body.size() == text.size() && utf8::is_valid(text)) {
        Recorder fast;
        if (yaml::fast_events(text, fast)) {
            fuzz::check(!parser.failed(), "the fast scanner reads a text the parser refuses", {text});
            fuzz::check(fast.events == events, "the fast scanner's events differ from the parser's", {text});
        }
    }
    return 0;
}
