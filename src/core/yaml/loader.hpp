// yaml.loads: one YAML document to a config tree.
//
// The text is parsed into events by the YAML 1.2 parser, or by the fast
// scanner, which gives the same events for the common shape of configuration
// text; the
// loader counts nodes against the node budget (aliases expanded), builds the
// document node with anchors, aliases, tags and the duplicate-key rule,
// requires exactly one document and converts it into a config tree, counting
// nodes again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::yaml {

// Most nodes a document may stand for, aliases expanded; it bounds the
// counting pass over texts with anchors and the conversion of every document.
inline constexpr std::uint64_t kNodeBudget = 5'000'000;

// Most collections open at once, flow and block alike; one more fails with
// "recursion limit exceeded".
inline constexpr std::size_t kMaxDepth = 255;

// Where the parser events come from. The fast scanner reads the common shape
// of configuration text by itself and leaves any other text to the parser,
// with the same result; loading with the parser alone is there for the tests
// that compare the two.
enum class EventSource : std::uint8_t { FastScannerFirst, ParserOnly };

// The config tree of the one document in `text` (UTF-8), or a ValueError
// (RecursionError for a value nested deeper than kMaxNesting through aliases).
// The tree's strings may point into `text`, which must outlive it.
Result<ConfigTree> load(std::string_view text, EventSource source = EventSource::FastScannerFirst);

// The config tree of every document of the stream in `text`, in order (none
// for an empty stream). The node budget bounds the stream as a whole. The
// trees may point into `text`, as with load.
Result<std::vector<ConfigTree>> load_all(std::string_view text);

}  // namespace tabrix::yaml
