// The YAML 1.2 event parser: text to the stream of parser events.
//
// A scanner turns the text into tokens (indicators, scalars, anchors, tags,
// and the block structure that indentation implies); the parser turns the
// tokens into events. Both keep their nesting in explicit stacks, never in
// the native call stack, and take time and memory linear in the text.
//
// Events carry the byte offset at which they start; locate() turns an offset
// into the character offset, line and column that messages show. Errors
// carry the description and the offset of the fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tabrix::yaml {

enum class ScalarStyle : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded };

enum class EventKind : std::uint8_t {
    StreamStart,
    StreamEnd,
    DocumentStart,
    DocumentEnd,
    Scalar,
    SequenceStart,
    SequenceEnd,
    MappingStart,
    MappingEnd,
    Alias,
};

struct Event {
    EventKind kind = EventKind::StreamStart;
    ScalarStyle style = ScalarStyle::Plain;
    bool explicit_marker = false;  // a document's "---" or "...", as written
    bool flow = false;             // a collection written in flow style
    bool tagged = false;
    std::string_view value;        // a scalar's text
    std::string_view anchor;       // anchor name (an alias's name), empty for none
    std::string_view tag;          // the full tag, its handle expanded
    std::size_t offset = 0;        // byte offset of the event's start
};

// A position for messages: characters from the start, 0-based line and
// column (columns in characters). Lines end at LF, CR LF or CR.
struct Location {
    std::uint64_t index = 0;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
};
Location locate(std::string_view text, std::size_t offset) noexcept;

class Parser {
public:
    explicit Parser(std::string_view text);
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event; false after an error (see error()), and after the
    // StreamEnd event has been given. The event's texts stay valid until the
    // next call.
    bool next(Event& event);

    bool failed() const noexcept;
    const std::string& error() const noexcept;
    std::size_t error_offset() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tabrix::yaml
