// Test driver of the YAML parser: prints the events of each text in the
// form of the YAML test suite's test.event files.
//
// Input on stdin: for each text, its length in bytes on a line, then the
// bytes. Output: for each text, the length of its report on a line, then the
// report: one event per line, and after an error the line
// "ERROR <description> at <line>:<column>". With --summary, the report is
// the number of events (and whether StreamEnd came last) and the error.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "core/yaml/parser.hpp"

namespace {

using namespace tabrix::yaml;

void escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\r': out += "\\r"; break;
            default: out.push_back(c);
        }
    }
}

void properties(std::string& out, const Event& event) {
    if (!event.anchor.empty()) {
        out += " &";
        out += event.anchor;
    }
    if (event.tagged) {
        out += " <";
        out += event.tag;
        out += ">";
    }
}

std::string report(std::string_view text, bool summary) {
    std::string out;
    Parser parser(text);
    Event event;
    std::size_t count = 0;
    EventKind last = EventKind::StreamStart;
    while (parser.next(event)) {
        ++count;
        last = event.kind;
        if (summary) continue;
        switch (event.kind) {
            case EventKind::StreamStart: out += "+STR"; break;
            case EventKind::StreamEnd: out += "-STR"; break;
            case EventKind::DocumentStart: out += event.explicit_marker ? "+DOC ---" : "+DOC"; break;
            case EventKind::DocumentEnd: out += event.explicit_marker ? "-DOC ..." : "-DOC"; break;
            case EventKind::SequenceStart:
                out += event.flow ? "+SEQ []" : "+SEQ";
                properties(out, event);
                break;
            case EventKind::MappingStart:
                out += event.flow ? "+MAP {}" : "+MAP";
                properties(out, event);
                break;
            case EventKind::SequenceEnd: out += "-SEQ"; break;
            case EventKind::MappingEnd: out += "-MAP"; break;
            case EventKind::Alias:
                out += "=ALI *";
                out += event.anchor;
                break;
            case EventKind::Scalar: {
                out += "=VAL";
                properties(out, event);
                static const char styles[] = {':', '\'', '"', '|', '>'};
                out += ' ';
                out += styles[static_cast<int>(event.style)];
                escaped(out, event.value);
                break;
            }
        }
        out += '\n';
    }
    if (summary) {
        out = std::to_string(count) + " events" + (last == EventKind::StreamEnd ? ", StreamEnd last" : "") + "\n";
    }
    if (parser.failed()) {
        const Location at = locate(text, parser.error_offset());
        out += "ERROR " + parser.error() + " at " + std::to_string(at.line + 1) + ":" +
               std::to_string(at.column + 1) + "\n";
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const bool summary = argc > 1 && std::string_view(argv[1]) == "--summary";
    std::ios::sync_with_stdio(false);
    std::string size_line;
    while (std::getline(std::cin, size_line)) {
        if (size_line.empty()) continue;
        const std::size_t size = std::stoul(size_line);
        std::string text(size, '\0');
        std::cin.read(text.data(), static_cast<std::streamsize>(size));
        const std::string out = report(text, summary);
        std::cout << out.size() << '\n' << out;
    }
    std::cout.flush();
    return 0;
}
