// Header validation (shared by csv.loads and CsvStream) and the whole-document
// reading of csv.loads: header, records, and one kind per column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/csv/cell.hpp"
#include "core/csv/reader.hpp"
#include "core/error.hpp"
#include "core/spare.hpp"

namespace tabrix::csv {

using Header = std::vector<std::string>;

// Reads the first record as the header. Fails with the reader's own message
// (invalid UTF-8, an input error), "csv document carries no header row", or
// "duplicate column name {name}" naming the later of the first equal pair.
Result<Header> read_header(CsvReader& reader);

// "row {row}: {reader message}" and "row {row} has {fields} fields, the header
// declares {columns}". Rows count data records from 2 (the header is row 1).
Error row_reader_error(std::uint64_t row, const CsvReader& reader);
Error row_length_error(std::uint64_t row, std::size_t fields, std::size_t columns);

struct Document {
    Header header;
    // Every data record, each of header.size() fields, back to back.
    RecordBuffer cells;
    std::size_t records = 0;
    // Whether the whole text is ASCII (so every cell is).
    bool ascii = false;
    // The join of the kinds of each column's cells (Empty with no records).
    std::vector<CellKind> kinds;
    // Per column: whether every non-empty cell has the column's kind and the
    // kind is Int or Float, so that `values` hold the column's numbers.
    std::vector<std::uint8_t> numbers_ready;
    // Per cell, in the order of `cells`: the value read while typing it,
    // meaningful in the columns whose numbers are ready.
    std::vector<CellValue> values;

    Document() : values(ValueSpare::take()) {}
    Document(Document&&) noexcept = default;
    ~Document() { ValueSpare::give(std::move(values)); }

    std::string_view cell(std::size_t record, std::size_t column) const noexcept {
        return cells.field(record * header.size() + column);
    }

private:
    // The value storage of the last document is kept for the next one (up
    // to a bounded size), so that repeated loads do not fault in fresh
    // pages for every call.
    using ValueSpare = Spare<std::vector<CellValue>, std::size_t{4} << 20, struct CsvValueStorage>;
};

// Reads a whole document held in `text` (leading byte-order marks, however
// many, are dropped first) and infers the column kinds. The first faulty
// record ends the reading.
Result<Document> read_document(std::string_view text, char delimiter);

}  // namespace tabrix::csv
