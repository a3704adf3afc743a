#include "core/csv/document.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "core/text/scan.hpp"

namespace tabrix::csv {

Result<Header> read_header(CsvReader& reader) {
    RecordBuffer record;
    switch (reader.read_record(record)) {
        case ReadStatus::Record: break;
        case ReadStatus::End: return value_error("csv document carries no header row");
        case ReadStatus::InvalidUtf8:
        case ReadStatus::InputError: return value_error(reader.error_message());
    }
    const std::size_t count = record.field_count();
    // The first name equal to an earlier one is reported: a set of the names
    // seen so far finds it in one pass, however wide the header.
    std::unordered_set<std::string_view> seen;
    seen.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = record.field(i);
        if (!seen.insert(name).second) {
            std::string message = "duplicate column name ";
            message += name;
            return value_error(std::move(message));
        }
    }
    Header header;
    header.reserve(count);
    for (std::size_t i = 0; i < count; ++i) header.emplace_back(record.field(i));
    return header;
}

Error row_reader_error(std::uint64_t row, const CsvReader& reader) {
    std::string message = "row ";
    message += std::to_string(row);
    message += ": ";
    message += reader.error_message();
    return value_error(std::move(message));
}

Error row_length_error(std::uint64_t row, std::size_t fields, std::size_t columns) {
    std::string message = "row ";
    message += std::to_string(row);
    message += " has ";
    message += std::to_string(fields);
    message += " fields, the header declares ";
    message += std::to_string(columns);
    return value_error(std::move(message));
}

namespace {

// The up-front reservation of field ends stops here (64 MB); a document with
// more fields grows the array as it goes. An unrepresentative first record
// cannot make the estimate reserve far more than the document needs.
constexpr std::uint64_t kMaxEndsEstimate = std::uint64_t{1} << 23;

}  // namespace

Result<Document> read_document(std::string_view text, char delimiter) {
    std::size_t start = 0;
    while (text.size() - start >= 3 && text.compare(start, 3, "\xEF\xBB\xBF") == 0) start += 3;
    const std::size_t input_size = text.size() - start;
    const bool ascii = scan::is_ascii(text.data() + start, input_size);
    CsvReader reader(delimiter, std::make_unique<MemorySource>(text, start));

    Result<Header> header = read_header(reader);
    if (!header) return std::move(header).error();
    Document document;
    document.ascii = ascii;
    document.header = std::move(header).value();
    const std::size_t columns = document.header.size();

    // Field bytes never outnumber input bytes; the field ends are estimated
    // from the size of the first record once it has been read.
    document.cells.bytes.reserve(input_size - reader.consumed() + 16);
    for (std::uint64_t row = 2;; ++row) {
        const std::uint64_t record_start = reader.consumed();
        const ReadStatus status = reader.read_record(document.cells);
        if (status == ReadStatus::End) break;
        if (status != ReadStatus::Record) return row_reader_error(row, reader);
        if (reader.field_count() != columns) return row_length_error(row, reader.field_count(), columns);
        if (document.records++ == 0) {
            const std::uint64_t record_size = reader.consumed() - record_start;
            const std::uint64_t left = input_size - reader.consumed();
            const std::uint64_t estimate = (left / record_size * 9 / 8 + 1) * columns;
            document.cells.ends.reserve_more(static_cast<std::size_t>(std::min(estimate, kMaxEndsEstimate)));
        }
    }

    // One pass over the records, typing each cell and keeping its value; a
    // column that has become Text stays Text and is not looked at again.
    // `seen` records which kinds each column's cells had.
    document.kinds.assign(columns, CellKind::Empty);
    document.values.resize(document.records * columns);
    std::vector<unsigned> seen(columns, 0);
    CellKind* kinds = document.kinds.data();
    CellValue* values = document.values.data();
    std::size_t index = 0;
    std::size_t begin = 0;
    const std::size_t* ends = document.cells.ends.data();
    const char* bytes = document.cells.bytes.data();
    for (std::size_t r = 0; r < document.records; ++r) {
        for (std::size_t c = 0; c < columns; ++c, ++index) {
            const std::size_t end = ends[index];
            if (end != begin && kinds[c] != CellKind::Text) {
                const TypedCell typed = type_cell(std::string_view(bytes + begin, end - begin));
                kinds[c] = merge_kind(kinds[c], typed.kind);
                seen[c] |= 1u << static_cast<unsigned>(typed.kind);
                values[index] = typed.value;
            }
            begin = end;
        }
    }
    document.numbers_ready.resize(columns);
    for (std::size_t c = 0; c < columns; ++c) {
        const bool numeric = kinds[c] == CellKind::Int || kinds[c] == CellKind::Float;
        document.numbers_ready[c] = numeric && seen[c] == (1u << static_cast<unsigned>(kinds[c]));
    }
    return document;
}

}  // namespace tabrix::csv
