// The INI reader: one document text into blocks of (key, value) pairs, then
// into the section table that ini.loads turns into dicts.
//
// The dialect:
//  * Before each item all white space is skipped (Unicode White_Space, line
//    breaks included); the item's first character says what it is.
//  * ";" or "#" starts a comment, which runs to the end of its line. Only in
//    the first column: anywhere else it is "doesn't support inline comment".
//  * "[" starts a section header; the name runs to the next "]" (line breaks
//    included) and is trimmed. What follows the "]" is the next item.
//  * Anything else starts a key, which runs to the next "=" or ":" (line
//    breaks included, so a line holding only a word becomes the front of the
//    next key) and is trimmed.
//  * "=" or ":" starts the value of the key just read ("missing key" when
//    there is none). After the blanks of its line, a value is made of quoted
//    parts ('...' or "...", kept as they are, line breaks included) followed
//    by at most one plain part running to the end of the line (LF, CR or the
//    end of the text). The plain part is trimmed at both ends when it is the
//    first part, otherwise at its end only: 'a' 'b' c gives a 'b' c.
//  * Backslash escapes are decoded in names, keys and every value part:
//    \0 \a \b \t \r \n, backslash + line feed (dropped), \xHHHH (exactly four
//    hex digits), and a backslash before any other character gives that
//    character.
//
// Errors read "{line}:{column} {message}". The reader counts lines from 0
// and columns so that the first character of a line is column 1 (reading a
// line feed moves to the next line at column 0); a message gives both counts
// plus one, at the last character read. So an error at the very first
// character is reported at 1:2, and the end of the text is reported at its
// last character.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace tabrix::ini {

// Names and values are views: into the text that was parsed (which the caller
// keeps alive), or into the decoded text the document owns (for text that
// held escapes or was joined from several value parts).
struct IniPair {
    std::string_view key;
    std::string_view value;
    std::size_t option = 0;  // the number of the key among the option names (set in the section table)
};

// The pairs written under one section header, or before the first header
// (`named` false): pairs [first, first + count) of the document.
struct IniBlock {
    std::string_view name;
    bool named = false;
    std::size_t first = 0;
    std::size_t count = 0;
};

// Pair storage. A released list's storage is kept for the thread's next
// document (up to a bounded size), so that repeated loads do not fault in
// fresh pages for every call.
class IniPairs {
public:
    IniPairs() noexcept;
    ~IniPairs();
    IniPairs(IniPairs&&) noexcept = default;
    IniPairs& operator=(IniPairs&&) noexcept = default;

    std::vector<IniPair> items;
};

// The parse result: every block in document order, duplicates kept.
struct IniDocument {
    std::vector<IniBlock> blocks;
    IniPairs pairs;
    std::unique_ptr<char[]> decoded;
    bool ascii = false;  // every name and value is ASCII text
};

// One section of the table: pairs [first, first + count) of the table.
struct IniSection {
    std::string_view name;
    std::size_t first = 0;
    std::size_t count = 0;
};

// Sections with unique names in order of first appearance, each with pairs
// of unique option names.
struct IniSections {
    std::vector<IniSection> sections;
    IniPairs pairs;
    // The distinct option names of the document: pair.option indexes them.
    std::vector<std::string_view> option_names;
    std::unique_ptr<char[]> decoded;
    bool ascii = false;  // every name and value is ASCII text
};

// Parses `text` (valid UTF-8) after skipping the U+FEFF characters at its
// start; positions in messages count from the first character after them.
// The views of the result point into `text`, which must outlive it.
Result<IniDocument> parse_ini_document(std::string_view text);

// Builds the section table: blocks without pairs are skipped (also named
// ones), a repeated section gets the pairs of each of its blocks appended, a
// repeated option replaces the value of the first one where it stands, and
// pairs before the first header fail with "keys found outside of any
// section".
Result<IniSections> ini_document_to_sections(IniDocument document);

}  // namespace tabrix::ini
