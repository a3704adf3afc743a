// INI text -> section table. Checks the table's promises: unique section
// names, unique option names within a section, option numbers that index
// the option names, UTF-8 views.
#include <set>

#include "common.hpp"
#include "core/ini/ini_parser.hpp"
#include "core/text/scan.hpp"

using namespace tabrix;
using namespace tabrix::ini;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    if (!utf8::is_valid(text)) return -1;  // loads takes a str: always valid UTF-8
    Result<IniDocument> document = parse_ini_document(text);
    if (!document) {
        fuzz::check(document.error().kind == ErrorKind::Value && !document.error().message.empty(), "error kind");
        return 0;
    }
    Result<IniSections> table = ini_document_to_sections(std::move(*document));
    if (!table) {
        fuzz::check(table.error().message == "keys found outside of any section", "unexpected error",
                    {table.error().message});
        return 0;
    }
    std::set<std::string_view> names;
    for (const IniSection& section : table->sections) {
        fuzz::check(names.insert(section.name).second, "a section name twice", {text});
        fuzz::check(utf8::is_valid(section.name), "section name is not UTF-8", {text});
        fuzz::check(section.count > 0, "a section without options", {text});
        fuzz::check(section.first + section.count <= table->pairs.items.size(), "section beyond its pairs");
        std::set<std::string_view> keys;
        for (std::size_t i = section.first; i < section.first + section.count; ++i) {
            const IniPair& pair = table->pairs.items[i];
            fuzz::check(keys.insert(pair.key).second, "an option twice in a section", {text});
            fuzz::check(utf8::is_valid(pair.key) && utf8::is_valid(pair.value), "option is not UTF-8", {text});
            fuzz::check(pair.option < table->option_names.size() && table->option_names[pair.option] == pair.key,
                        "option number does not name the option", {text});
            if (table->ascii) fuzz::check(scan::is_ascii(pair.value.data(), pair.value.size()), "ascii flag", {text});
        }
    }
    return 0;
}
