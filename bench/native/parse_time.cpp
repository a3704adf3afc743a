// Times the lock-free half of each loader: the pure core turning text into
// its tree (or CSV document, or INI sections), with no Python object made.
// bench_threads.py sets it against the whole loads call to show how much of
// a load can run in parallel on an interpreter with a GIL.
//
//   parse_time FORMAT ROUNDS FILE...
//
// FORMAT is yaml, toml, jsonc, ini, csv or tsv. For each file it prints one
// line: the best of ROUNDS parses in seconds. The parse starts from the
// text as loads has it; a copy that a loader makes with the lock held is not
// timed.
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

using Clock = std::chrono::steady_clock;

// Times one call of `parse` (which returns the parser's result), the result
// left alive until the clock has stopped; false when the text does not load.
template <class Parse>
bool time_parse(Parse&& parse, double& seconds) {
    const Clock::time_point start = Clock::now();
    const auto result = parse();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<bool>(result);
}

// Parses once, as loads does (the loaders that copy the text first do it
// with the lock held, so the copy is not timed here).
bool parse_once(std::string_view format, const std::string& text, double& seconds) {
    if (format == "yaml") return time_parse([&] { return yaml::load(text); }, seconds);
    if (format == "ini") {
        return time_parse([&] {
            Result<ini::IniDocument> document = ini::parse_ini_document(text);
            return document ? ini::ini_document_to_sections(std::move(*document))
                            : Result<ini::IniSections>(std::move(document).error());
        }, seconds);
    }
    if (format == "jsonc") {
        jsonc::Source source(text);
        return time_parse([&] { return jsonc::parse(std::move(source)); }, seconds);
    }
    if (format == "toml") return time_parse([&] { return toml::parse_toml(text); }, seconds);
    const char delimiter = format == "csv" ? ',' : '\t';
    return time_parse([&] { return csv::read_document(text, delimiter); }, seconds);
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
            double seconds;
            if (!parse_once(format, text, seconds)) {
                std::fprintf(stderr, "parse_time: %s does not load as %s\n", argv[i], argv[1]);
                return 1;
            }
            best = std::min(best, seconds);
        }
        std::printf("%.9f\n", best);
    }
    return 0;
}
