// Times the lock-free half of each loader: the pure core turning text into
// its tree (or CSV document, or INI sections), with no Python object made.
// bench_threads.py sets it against the whole loads call to show how much of
// a load can run in parallel on an interpreter with a GIL.
//
//   parse_time FORMAT ROUNDS FILE...
//
// FORMAT is yaml, toml, jsonc, ini, csv or tsv. For each file it prints one
// line: the best of ROUNDS parses in seconds, each from the text as loads
// gets it (the parsers that keep a copy of the text make it, as in loads).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "core/csv/document.hpp"
#include "core/ini/ini_parser.hpp"
#include "core/jsonc/jsonc_parser.hpp"
#include "core/toml/parser.hpp"
#include "core/yaml/loader.hpp"

namespace {

using namespace tabrix;

// Parses once; false when the text does not load.
bool parse_once(std::string_view format, const std::string& text) {
    if (format == "yaml") return static_cast<bool>(yaml::load(text));
    if (format == "toml") return static_cast<bool>(toml::parse_toml(text));
    if (format == "jsonc") return static_cast<bool>(jsonc::parse(jsonc::Source(text)));
    if (format == "csv") return static_cast<bool>(csv::read_document(text, ','));
    if (format == "tsv") return static_cast<bool>(csv::read_document(text, '\t'));
    Result<ini::IniDocument> document = ini::parse_ini_document(text);
    return document && static_cast<bool>(ini::ini_document_to_sections(std::move(*document)));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view formats[] = {"yaml", "toml", "jsonc", "ini", "csv", "tsv"};
    if (argc < 4 || std::find(std::begin(formats), std::end(formats), std::string_view(argv[1])) == std::end(formats)) {
        std::fprintf(stderr, "usage: parse_time yaml|toml|jsonc|ini|csv|tsv ROUNDS FILE...\n");
        return 2;
    }
    const std::string_view format = argv[1];
    const int rounds = std::max(1, std::atoi(argv[2]));
    for (int i = 3; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "parse_time: cannot read %s\n", argv[i]);
            return 1;
        }
        double best = 1e300;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            const bool loaded = parse_once(format, text);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (!loaded) {
                std::fprintf(stderr, "parse_time: %s does not load as %s\n", argv[i], argv[1]);
                return 1;
            }
            best = std::min(best, took.count());
        }
        std::printf("%.9f\n", best);
    }
    return 0;
}
