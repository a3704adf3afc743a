// Test driver of the YAML fast scanner: for each text it compares the fast
// scanner's events with libyaml's, and the load of the text with both event
// sources against the load with libyaml alone.
//
// Input (stdin): texts, each as its length in decimal, a line feed, and the
// bytes. Output (stdout): one line per text:
//   fast      the fast scanner read the text; same events, same load result
//   bail      the fast scanner gave up; the two loads agree
//   mismatch: the first difference found
// With --events, the lines are followed by both event streams (for
// debugging).
#include <yaml.h>

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

std::string_view view(const yaml_char_t* text) {
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// libyaml's events as text, in the recorder's notation; false after an error.
bool libyaml_events(std::string_view text, std::vector<std::string>& out) {
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) return false;
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    bool ok = true;
    while (true) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            ok = false;
            break;
        }
        std::string line;
        switch (event.type) {
            case YAML_NO_EVENT: line = "NONE"; break;
            case YAML_STREAM_START_EVENT: line = "+STR"; break;
            case YAML_STREAM_END_EVENT: line = "-STR"; break;
            case YAML_DOCUMENT_START_EVENT: line = "+DOC"; break;
            case YAML_DOCUMENT_END_EVENT: line = "-DOC"; break;
            case YAML_MAPPING_START_EVENT:
                line = with_tag(with_anchor("+MAP", view(event.data.mapping_start.anchor)),
                                view(event.data.mapping_start.tag));
                break;
            case YAML_SEQUENCE_START_EVENT:
                line = with_tag(with_anchor("+SEQ", view(event.data.sequence_start.anchor)),
                                view(event.data.sequence_start.tag));
                break;
            case YAML_MAPPING_END_EVENT: line = "-MAP"; break;
            case YAML_SEQUENCE_END_EVENT: line = "-SEQ"; break;
            case YAML_ALIAS_EVENT: line = "=ALI *" + std::string(view(event.data.alias.anchor)); break;
            case YAML_SCALAR_EVENT: {
                const auto& s = event.data.scalar;
                line = with_tag(with_anchor("=VAL", view(s.anchor)), view(s.tag));
                line += ' ';
                switch (s.style) {
                    case YAML_PLAIN_SCALAR_STYLE: line += ':'; break;
                    case YAML_SINGLE_QUOTED_SCALAR_STYLE: line += '\''; break;
                    case YAML_DOUBLE_QUOTED_SCALAR_STYLE: line += '"'; break;
                    case YAML_LITERAL_SCALAR_STYLE: line += '|'; break;
                    case YAML_FOLDED_SCALAR_STYLE: line += '>'; break;
                    default: line += '?'; break;
                }
                line += shown(std::string_view(reinterpret_cast<const char*>(s.value), s.length));
                break;
            }
        }
        const bool end = event.type == YAML_STREAM_END_EVENT;
        yaml_event_delete(&event);
        out.push_back(std::move(line));
        if (end) break;
    }
    yaml_parser_delete(&parser);
    return ok;
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
    const bool parsed = libyaml_events(body, expected);
    std::string verdict;
    if (fast && !parsed) {
        verdict = "mismatch: the fast scanner read a text that libyaml refuses";
    } else if (fast && recorder.events != expected) {
        verdict = "mismatch: the fast scanner's events differ from libyaml's";
    } else {
        const std::string with_fast = load_result(text, tabrix::yaml::EventSource::FastScannerFirst);
        const std::string alone = load_result(text, tabrix::yaml::EventSource::LibyamlOnly);
        if (with_fast != alone) {
            verdict = "mismatch: loads differ: " + shown(with_fast) + " | " + shown(alone);
        } else {
            verdict = fast ? "fast" : "bail";
        }
    }
    if (verbose) {
        verdict += "\nfast scanner" + std::string(fast ? "" : " (gave up)") + ":\n" + joined(recorder.events);
        verdict += "libyaml" + std::string(parsed ? "" : " (error)") + ":\n" + joined(expected);
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
