// The CSV reader shared by csv.loads and CsvStream.
//
// Dialect: a one-byte field delimiter (`,` or TAB); fields may be quoted with
// `"`, a doubled `"` inside a quoted field standing for one `"`, no other
// escape; records end at CR, LF or CR LF; blank lines are skipped wherever they
// occur; records may differ in length; nothing is trimmed; no comments. A
// quoted field that is never closed runs to the end of the input, and stray
// quotes inside an unquoted field, like text after the closing quote of a
// quoted field, belong to the field. One UTF-8 byte-order mark (EF BB BF) at
// the very start of the input is skipped.
//
// Input arrives through a ByteSource in chunks of at most kReadSize bytes
// (windows over a buffer in memory, or read(2) calls on a file), so a reader
// over a file holds one chunk and one record, whatever the size of the file.
// Fields are found by scanning sixteen bytes at a time for the next
// delimiter, quote or line break (scan::find_any), not byte by byte.
//
// Positions. Each record carries the position of its start:
//   record  0-based index among the records handed out so far (good or not);
//           blank lines are not records, so they are not counted;
//   byte    offset of the record's first byte from the start of the input
//           (the byte-order mark skipped by the reader counts: it is input);
//           a record preceded by blank lines starts after them;
//   line    1 + the number of line breaks before that byte, where LF, lone
//           CR and CR LF each count as one break, including the breaks of
//           blank lines and those inside quoted fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/text/out_buffer.hpp"

namespace tabrix::csv {

inline constexpr std::size_t kReadSize = 8192;

// Where input comes from: one chunk at a time.
class ByteSource {
public:
    struct Chunk {
        const char* data = nullptr;
        std::size_t size = 0;  // 0 at the end of the input (or after an error)
        int error = 0;         // errno of a failed read, else 0
    };
    virtual ~ByteSource() = default;
    // The next chunk, at most kReadSize bytes; at least 3 bytes for the first
    // chunk of an input that long, so that a leading byte-order mark is seen
    // whole.
    virtual Chunk next() = 0;
};

// A buffer in memory, handed out as windows (no copy): owned by the source,
// or only viewed when the caller keeps it alive as long as the source.
class MemorySource final : public ByteSource {
public:
    // Reads `bytes` from offset `start` on.
    explicit MemorySource(std::string bytes, std::size_t start = 0) noexcept
        : owned_(std::move(bytes)), bytes_(owned_), offset_(start < bytes_.size() ? start : bytes_.size()) {}
    explicit MemorySource(std::string_view bytes, std::size_t start = 0) noexcept
        : bytes_(bytes), offset_(start < bytes_.size() ? start : bytes_.size()) {}
    Chunk next() noexcept override;

private:
    std::string owned_;
    std::string_view bytes_;
    std::size_t offset_;
};

// An open file descriptor, read with read(2) into an owned buffer; closed when
// the source is destroyed.
class FileSource final : public ByteSource {
public:
    explicit FileSource(int fd) noexcept : fd_(fd) {}
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    Chunk next() noexcept override;

    // Opens `path` read-only. Fails with "cannot open {path}: {error}".
    static Result<std::unique_ptr<FileSource>> open(std::string_view path);

private:
    int fd_;
    bool started_ = false;
    char buffer_[kReadSize];
};

// "{description} (os error {code})": the operating system's text for an errno.
std::string os_error_text(int code);

// End offsets of fields: a growable array of size_t whose reserved part is
// not initialised, so that the reader can reserve for a whole chunk and then
// append without a check per field.
class FieldEnds {
public:
    FieldEnds() noexcept = default;
    FieldEnds(FieldEnds&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    FieldEnds& operator=(FieldEnds&&) = delete;
    FieldEnds(const FieldEnds&) = delete;
    FieldEnds& operator=(const FieldEnds&) = delete;
    ~FieldEnds() { std::free(data_); }

    std::size_t size() const noexcept { return size_; }
    const std::size_t* data() const noexcept { return data_; }
    std::size_t operator[](std::size_t i) const noexcept { return data_[i]; }
    void clear() noexcept { size_ = 0; }
    // Room for `count` more entries without reallocating.
    void reserve_more(std::size_t count) {
        if (capacity_ - size_ < count) grow(count);
    }
    // Appends within reserved room.
    void push_unchecked(std::size_t end) noexcept { data_[size_++] = end; }

private:
    [[gnu::noinline]] void grow(std::size_t count);

    std::size_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Fields of one or more records: their bytes back to back, and the end offset
// of each field in `bytes`. The reader appends; csv.loads keeps every record
// in one buffer, a stream clears it for each record.
struct RecordBuffer {
    OutBuffer bytes;
    FieldEnds ends;

    void clear() noexcept {
        bytes.clear();
        ends.clear();
    }
    std::size_t field_count() const noexcept { return ends.size(); }
    // Field `i` counted over the whole buffer.
    std::string_view field(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends[i - 1];
        return {bytes.data() + begin, ends[i] - begin};
    }
};

struct RecordPosition {
    std::uint64_t record = 0;
    std::uint64_t line = 1;
    std::uint64_t byte = 0;
};

enum class ReadStatus : std::uint8_t {
    Record,       // a record was appended to the buffer
    End,          // no more records (also every call after an input error)
    InvalidUtf8,  // a record was consumed but a field is not UTF-8
    InputError,   // reading the input failed
};

class CsvReader {
public:
    // `delimiter` is ',' or TAB.
    CsvReader(char delimiter, std::unique_ptr<ByteSource> source) noexcept
        : source_(std::move(source)), delimiter_(delimiter) {}

    // Reads the next record and appends its fields to `out`. After
    // InvalidUtf8 or InputError, `out` may hold part of the failed record:
    // callers clear or discard it.
    ReadStatus read_record(RecordBuffer& out);

    // Position of the record last read (good or not).
    const RecordPosition& position() const noexcept { return position_; }
    // Input offset of the first byte not yet consumed.
    std::uint64_t consumed() const noexcept { return offset_of(cursor_); }
    // Number of fields of the record last read.
    std::size_t field_count() const noexcept { return field_count_; }
    // After InvalidUtf8 or InputError, the reader's message: for invalid
    // UTF-8 "CSV parse error: record {record} (line {line}, field: {field},
    // byte: {byte}): invalid utf-8: invalid UTF-8 in field {field} near byte
    // index {index}" ({index}: length of the field's valid prefix), for an
    // input error "{description} (os error {code})".
    std::string error_message() const;

private:
    enum class State : std::uint8_t { StartRecord, StartField, InField, InQuoted, QuoteInQuoted };

    template <char Delimiter>
    ReadStatus read(RecordBuffer& out);
    // Fetches the next chunk into [cursor_, limit_); false at the end of the
    // input or on an error (error_ set).
    bool refill();
    // Input offset of `p`, a position in the current chunk.
    std::uint64_t offset_of(const char* p) const noexcept {
        return chunk_offset_ + static_cast<std::uint64_t>(p - chunk_start_);
    }
    void count_break(const char* p) noexcept;
    bool validate(const RecordBuffer& out, std::size_t first_field, std::size_t first_byte) noexcept;

    std::unique_ptr<ByteSource> source_;
    const char* chunk_start_ = nullptr;  // current chunk
    const char* cursor_ = nullptr;
    const char* limit_ = nullptr;
    std::uint64_t chunk_offset_ = 0;     // input offset of chunk_start_
    std::uint64_t next_offset_ = 0;      // input offset of the next chunk
    std::uint64_t line_ = 1;             // 1 + line breaks consumed
    std::uint64_t after_cr_ = ~std::uint64_t{0};  // offset just after the last CR
    std::uint64_t records_ = 0;          // records handed out
    RecordPosition position_;
    std::size_t field_count_ = 0;
    std::size_t bad_field_ = 0;          // invalid UTF-8: the field
    std::size_t valid_up_to_ = 0;        // and the length of its valid prefix
    int error_ = 0;                      // errno of a failed read
    bool started_ = false;               // the first chunk has been fetched
    bool finished_ = false;              // end of input (or error) reached
    bool error_reported_ = false;        // InputError was returned once
    char delimiter_;
};

}  // namespace tabrix::csv
