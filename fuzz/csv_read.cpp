// The CSV reader over bytes (stream() takes any bytes): the same records,
// positions and errors whether the input comes in one piece or in odd chunk
// sizes; every good record written by the CSV writer reads back the same;
// numeric cells written back read as the same numbers; whole-document
// reading (loads) keeps its promises on records and column kinds.
#include <cerrno>
#include <memory>

#include "common.hpp"
#include "core/csv/cell.hpp"
#include "core/csv/document.hpp"
#include "core/csv/reader.hpp"
#include "core/csv/writer.hpp"
#include "core/number/float_text.hpp"

using namespace tabrix;
using namespace tabrix::csv;

namespace {

// Hands out the input in chunks whose sizes cycle through `sizes` (the first
// chunk at least 3 bytes, as sources promise); optionally fails with EIO at
// chunk `fail_at`.
class ChunkedSource final : public ByteSource {
public:
    ChunkedSource(std::string bytes, std::vector<std::size_t> sizes, std::size_t fail_at)
        : bytes_(std::move(bytes)), sizes_(std::move(sizes)), fail_at_(fail_at) {}
    Chunk next() noexcept override {
        if (turn_ == fail_at_) {
            ++turn_;
            return Chunk{nullptr, 0, EIO};
        }
        std::size_t size = sizes_[turn_ % sizes_.size()];
        if (turn_ == 0 && size < 3) size = 3;
        ++turn_;
        size = std::min(size, bytes_.size() - offset_);
        Chunk chunk{bytes_.data() + offset_, size, 0};
        offset_ += size;
        return chunk;
    }

private:
    std::string bytes_;
    std::vector<std::size_t> sizes_;
    std::size_t fail_at_;
    std::size_t offset_ = 0;
    std::size_t turn_ = 0;
};

struct Read {
    ReadStatus status;
    std::vector<std::string> fields;
    RecordPosition position;
    std::uint64_t consumed;
    std::string message;
};

Read read_one(CsvReader& reader) {
    RecordBuffer record;
    Read r{reader.read_record(record), {}, {}, 0, {}};
    if (r.status == ReadStatus::Record || r.status == ReadStatus::InvalidUtf8) {
        fuzz::check(reader.field_count() == record.field_count(), "field count disagrees with the buffer");
        for (std::size_t i = 0; i < record.field_count(); ++i) r.fields.emplace_back(record.field(i));
        r.position = reader.position();
    }
    r.consumed = reader.consumed();
    if (r.status == ReadStatus::InvalidUtf8 || r.status == ReadStatus::InputError) r.message = reader.error_message();
    return r;
}

template <char Delimiter>
void check_written(const std::vector<std::string>& fields, std::string_view input) {
    // A lone empty field is a blank line, which readers skip; a leading
    // byte-order mark is skipped at the start of the input.
    if (fields.size() == 1 && fields[0].empty()) return;
    if (fields[0].starts_with("\xEF\xBB\xBF")) return;
    OutBuffer out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out.push(Delimiter);
        write_field<Delimiter>(out, fields[i]);
    }
    out.push('\n');
    CsvReader reader(Delimiter, std::make_unique<MemorySource>(std::string(out.view())));
    const Read back = read_one(reader);
    fuzz::check(back.status == ReadStatus::Record && back.fields == fields, "a written record reads back differently",
                {input, out.view()});
    fuzz::check(read_one(reader).status == ReadStatus::End, "a written record reads back as more than one",
                {input, out.view()});
}

// A numeric cell read and written back (as csv.dumps writes a float or an
// int) reads as the same number.
void check_number(std::string_view cell) {
    if (cell.empty()) return;
    const CellKind kind = classify_cell(cell);
    OutBuffer out;
    if (kind == CellKind::Float) {
        const double value = read_cell_double(cell);
        write_float_repr(out, value);
        fuzz::check(classify_cell(out.view()) == CellKind::Float, "float text is not a Float cell", {cell, out.view()});
        const double back = read_cell_double(out.view());
        const bool same = std::isnan(value) ? std::isnan(back) : std::memcmp(&back, &value, sizeof value) == 0;
        fuzz::check(same, "float text reads back differently", {cell, out.view()});
    } else if (kind == CellKind::Int) {
        std::int64_t value;
        fuzz::check(read_cell_int64(cell, value), "an Int cell does not fit", {cell});
        write_int(out, value);
        std::int64_t back;
        fuzz::check(classify_cell(out.view()) == CellKind::Int && read_cell_int64(out.view(), back) && back == value,
                    "int text reads back differently", {cell, out.view()});
    }
}

template <char Delimiter>
void check_document(const std::string& bytes) {
    if (!utf8::is_valid(bytes)) return;  // loads takes a str
    Result<Document> document = read_document(bytes, Delimiter);
    if (!document) {
        fuzz::check(document.error().kind == ErrorKind::Value && !document.error().message.empty(),
                    "unexpected csv.loads error");
        return;
    }
    const std::size_t columns = document->header.size();
    fuzz::check(document->cells.field_count() == document->records * columns, "cell count is not records x columns");
    fuzz::check(document->kinds.size() == columns, "one kind per column");
    for (std::size_t c = 0; c < columns; ++c) {
        CellKind kind = CellKind::Empty;
        for (std::size_t r = 0; r < document->records; ++r) {
            const std::string_view cell = document->cell(r, c);
            if (cell.empty()) continue;
            const TypedCell typed = type_cell(cell);
            const CellKind own = typed.kind;
            kind = merge_kind(kind, own);
            std::int64_t integer;
            if (own == CellKind::Int) {
                fuzz::check(read_cell_int64(cell, integer), "an Int cell does not fit", {cell});
                fuzz::check(typed.value.integer == integer, "an Int cell typed with another value", {cell});
            }
            if (own == CellKind::BigInt) fuzz::check(!read_cell_int64(cell, integer), "a BigInt cell fits", {cell});
            if (own == CellKind::Float || own == CellKind::Int || own == CellKind::BigInt) {
                const double real = read_cell_double(cell);
                if (own == CellKind::Float) {
                    const bool same = std::isnan(real) ? std::isnan(typed.value.real)
                                                       : std::memcmp(&real, &typed.value.real, sizeof real) == 0;
                    fuzz::check(same, "a Float cell typed with another value", {cell});
                }
            }
            // The number loads takes for the cell, where its column has them.
            if (document->numbers_ready[c]) {
                const CellValue& kept = document->values[r * columns + c];
                fuzz::check(std::memcmp(&kept, &typed.value, sizeof kept) == 0, "a kept number differs", {cell});
            }
        }
        fuzz::check(kind == document->kinds[c], "column kind is not the join of its cells");
        const bool numeric = kind == CellKind::Int || kind == CellKind::Float;
        fuzz::check(!document->numbers_ready[c] || numeric, "numbers kept for a column that is not numeric");
    }
}

template <char Delimiter>
void run(const std::string& bytes, const std::vector<std::size_t>& sizes, std::size_t fail_at) {
    CsvReader whole(Delimiter, std::make_unique<MemorySource>(bytes));
    CsvReader chunked(Delimiter, std::make_unique<ChunkedSource>(bytes, sizes, ~std::size_t{0}));
    for (std::size_t n = 0;; ++n) {
        const Read a = read_one(whole);
        const Read b = read_one(chunked);
        fuzz::check(a.status == b.status, "chunking changes the status", {bytes});
        fuzz::check(a.fields == b.fields, "chunking changes the fields", {bytes});
        fuzz::check(a.position.record == b.position.record && a.position.line == b.position.line &&
                        a.position.byte == b.position.byte,
                    "chunking changes the position", {bytes});
        fuzz::check(a.consumed == b.consumed, "chunking changes the consumed count", {bytes});
        fuzz::check(a.message == b.message, "chunking changes the message", {a.message, b.message});
        fuzz::check(a.status != ReadStatus::InputError, "a memory source failed");
        if (a.status == ReadStatus::End) {
            fuzz::check(a.consumed == bytes.size(), "the end before the end of the input", {bytes});
            fuzz::check(read_one(whole).status == ReadStatus::End, "a record after the end");
            break;
        }
        if (a.status == ReadStatus::Record) {
            fuzz::check(!a.fields.empty(), "a record without fields");
            check_written<Delimiter>(a.fields, bytes);
            for (const std::string& field : a.fields) check_number(field);
        }
        fuzz::check(n <= bytes.size(), "more records than bytes");
    }

    // A read error: reported once, then the end for good.
    CsvReader failing(Delimiter, std::make_unique<ChunkedSource>(bytes, sizes, fail_at));
    bool reported = false;
    for (std::size_t n = 0; n <= bytes.size() + 2; ++n) {
        const Read r = read_one(failing);
        if (r.status == ReadStatus::InputError) {
            fuzz::check(!reported, "a read error reported twice");
            fuzz::check(r.message == "Input/output error (os error 5)", "read error message", {r.message});
            reported = true;
        }
        if (r.status == ReadStatus::End) {
            fuzz::check(read_one(failing).status == ReadStatus::End, "a record after the end");
            break;
        }
    }

    check_document<Delimiter>(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return -1;
    // Byte 0: the delimiter and where a read fails; byte 1 and 2: chunk sizes.
    const bool tab = data[0] & 1;
    const std::size_t fail_at = data[0] >> 1;
    std::vector<std::size_t> sizes;
    for (int i = 1; i <= 2; ++i) {
        sizes.push_back(data[i] == 0 ? kReadSize : data[i] % 16 == 0 ? data[i] * 31u : data[i] % 16u);
    }
    const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);
    if (tab) run<'\t'>(bytes, sizes, fail_at);
    else run<','>(bytes, sizes, fail_at);
    return 0;
}
