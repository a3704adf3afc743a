// Test driver of the YAML fast scanner: for each text it compares the fast
// scanner's events with the parser's, and the load of the text with both
// event sources against the load with the parser alone.
//
// Input (stdin): texts, each as its length in decimal, a line feed, and the
// bytes. Output (stdout): one line per text:
//   fast      the fast scanner read the text; same events, same load result
//   bail      the fast scanner gave up; the two loads agree
//   mismatch: the first difference found
// With --events, the lines are followed by both event streams (for
// debugging).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "core/tree/config_tree.hpp"
#include "core/yaml/fast_scanner.hpp"
#include "core/yaml/loader.hpp"
#include "core/yaml/parser.hpp"

namespace {

using tabrix::ConfigTree;
using tabrix::Kind;
using tabrix::Node;
using tabrix::yaml::ScalarStyle;

std::string shown(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string with_anchor(std::string event, std::string_view anchor) {
    if (!anchor.empty()) {
        event += " &";
        event += anchor;
    }
    return event;
}

std::string with_tag(std::string event, std::string_view tag) {
    if (!tag.empty()) event += " <" + std::string(tag) + ">";
    return event;
}

char style_mark(ScalarStyle style) {
    switch (style) {
        case ScalarStyle::Plain: return ':';
        case ScalarStyle::SingleQuoted: return '\'';
        case ScalarStyle::DoubleQuoted: return '"';
        case ScalarStyle::Literal: return '|';
        case ScalarStyle::Folded: return '>';
    }
    return '?';
}

// Records the fast scanner's events as text.
struct Recorder {
    std::vector<std::string> events{"+STR"};

    bool document_start() { return add("+DOC"); }
    bool document_end() { return add("-DOC"); }
    bool scalar(std::string_view text, ScalarStyle style, std::string_view anchor, std::string_view tag) {
        return add(with_tag(with_anchor("=VAL", anchor), tag) + " " + style_mark(style) + shown(text));
    }
    bool collection_start(bool mapping, std::string_view anchor, std::string_view tag) {
        open.push_back(mapping);
        return add(with_tag(with_anchor(mapping ? "+MAP" : "+SEQ", anchor), tag));
    }
    bool collection_end() {
        const bool mapping = open.back();
        open.pop_back();
        return add(mapping ? "-MAP" : "-SEQ");
    }
    bool alias(std::string_view name) { return add("=ALI *" + std::string(name)); }
    bool stream_end() { return add("-STR"); }

    bool add(std::string event) {
        events.push_back(std::move(event));
        return true;
    }
    std::vector<bool> open;
};

// The parser's events as text, in the recorder's notation; false after an error.
bool parser_events(std::string_view text, std::vector<std::string>& out) {
    tabrix::yaml::Parser parser(text);
    tabrix::yaml::Event event;
    using tabrix::yaml::EventKind;
    while (parser.next(event)) {
        std::string line;
        const std::string_view tag = event.tagged ? event.tag : std::string_view();
        switch (event.kind) {
            case EventKind::StreamStart: line = "+STR"; break;
            case EventKind::StreamEnd: line = "-STR"; break;
            case EventKind::DocumentStart: line = "+DOC"; break;
            case EventKind::DocumentEnd: line = "-DOC"; break;
            case EventKind::MappingStart: line = with_tag(with_anchor("+MAP", event.anchor), tag); break;
            case EventKind::SequenceStart: line = with_tag(with_anchor("+SEQ", event.anchor), tag); break;
            case EventKind::MappingEnd: line = "-MAP"; break;
            case EventKind::SequenceEnd: line = "-SEQ"; break;
            case EventKind::Alias: line = "=ALI *" + std::string(event.anchor); break;
            case EventKind::Scalar:
                line = with_tag(with_anchor("=VAL", event.anchor), tag) + " " + style_mark(event.style) +
                       shown(event.value);
                break;
        }
        out.push_back(std::move(line));
    }
    return !parser.failed();
}

void dump(const Node* node, std::string& out) {
    switch (node->kind()) {
        case Kind::Null: out += "null"; return;
        case Kind::Bool: out += node->boolean ? "true" : "false"; return;
        case Kind::Int: out += "int " + std::to_string(node->integer); return;
        case Kind::BigInt: out += "bigint " + std::string(node->str()); return;
        case Kind::Float: {
            char text[64];
            std::snprintf(text, sizeof text, "float %a", node->real);
            out += std::isnan(node->real) ? "float nan" : text;
            return;
        }
        case Kind::Str: out += "str \"" + shown(node->str()) + '"'; return;
        case Kind::List: {
            out += '[';
            const Node* child = node->first_child();
            for (std::uint64_t i = 0; i < node->size(); ++i, child = child->skip()) {
                dump(child, out);
                out += ", ";
            }
            out += ']';
            return;
        }
        case Kind::Map: {
            out += '{';
            const Node* child = node->first_child();
            for (std::uint64_t i = 0; i < node->size(); ++i) {
                dump(child, out);
                out += ": ";
                child = child->skip();
                dump(child, out);
                out += ", ";
                child = child->skip();
            }
            out += '}';
            return;
        }
    }
}

std::string load_result(std::string_view text, tabrix::yaml::EventSource source) {
    tabrix::Result<ConfigTree> result = tabrix::yaml::load(text, source);
    if (!result) {
        return "error " + std::to_string(static_cast<int>(result.error().kind)) + " " + result.error().message;
    }
    std::string out;
    dump(&result->root(), out);
    return out;
}

std::string joined(const std::vector<std::string>& events) {
    std::string out;
    for (const std::string& event : events) out += "  " + event + "\n";
    return out;
}

// The verdict on one text, with the event streams when `verbose`.
std::string check(std::string_view text, bool verbose) {
    // The loader drops leading byte order marks before either event source.
    std::string_view body = text;
    while (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);

    Recorder recorder;
    const bool fast = tabrix::yaml::fast_events(body, recorder);
    std::vector<std::string> expected;
    const bool parsed = parser_events(body, expected);
    std::string verdict;
    if (fast && !parsed) {
        verdict = "mismatch: the fast scanner read a text that the parser refuses";
    } else if (fast && recorder.events != expected) {
        verdict = "mismatch: the fast scanner's events differ from the parser's";
    } else {
        const std::string with_fast = load_result(text, tabrix::yaml::EventSource::FastScannerFirst);
        const std::string alone = load_result(text, tabrix::yaml::EventSource::ParserOnly);
        if (with_fast != alone) {
            verdict = "mismatch: loads differ: " + shown(with_fast) + " | " + shown(alone);
        } else {
            verdict = fast ? "fast" : "bail";
        }
    }
    if (verbose) {
        verdict += "\nfast scanner" + std::string(fast ? "" : " (gave up)") + ":\n" + joined(recorder.events);
        verdict += "parser" + std::string(parsed ? "" : " (error)") + ":\n" + joined(expected);
    }
    return verdict;
}

}  // namespace

int main(int argc, char** argv) {
    const bool verbose = argc > 1 && std::strcmp(argv[1], "--events") == 0;
    std::ios::sync_with_stdio(false);
    std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::size_t at = 0;
    while (at < input.size()) {
        const std::size_t newline = input.find('\n', at);
        if (newline == std::string::npos) break;
        const std::size_t length = std::stoul(input.substr(at, newline - at));
        at = newline + 1;
        if (length > input.size() - at) {
            std::cerr << "truncated input\n";
            return 2;
        }
        std::cout << check(std::string_view(input).substr(at, length), verbose) << '\n';
        at += length;
    }
    return 0;
}
