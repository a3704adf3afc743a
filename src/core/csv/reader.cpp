#include "core/csv/reader.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/text/scan.hpp"
#include "core/text/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tabrix::csv {

// ---------------------------------------------------------------- sources

ByteSource::Chunk MemorySource::next() noexcept {
    const std::size_t size = std::min(kReadSize, bytes_.size() - offset_);
    Chunk chunk{bytes_.data() + offset_, size, 0};
    offset_ += size;
    return chunk;
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

ByteSource::Chunk FileSource::next() noexcept {
    // The first chunk is read until it holds at least three bytes (or the file
    // ends), so that a byte-order mark is never split; later chunks take what
    // one read gives, so that a pipe yields records as they arrive.
    const std::size_t wanted = started_ ? 1 : 3;
    started_ = true;
    std::size_t size = 0;
    while (size < wanted) {
        const ssize_t got = ::read(fd_, buffer_ + size, kReadSize - size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Chunk{nullptr, 0, errno};
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    return Chunk{buffer_, size, 0};
}

std::string os_error_text(int code) {
    char buffer[256];
    // strerror_r is the GNU variant (returning the text) or the XSI one
    // (returning 0 and filling the buffer), depending on the C library.
    struct Pick {
        const char* buffer;
        const char* operator()(const char* text) const { return text; }
        const char* operator()(int status) const { return status == 0 ? buffer : "Unknown error"; }
    };
    const char* text = Pick{buffer}(strerror_r(code, buffer, sizeof buffer));
    std::string message(text);
    message += " (os error ";
    message += std::to_string(code);
    message += ')';
    return message;
}

Result<std::unique_ptr<FileSource>> FileSource::open(std::string_view path) {
    std::string message = "cannot open ";
    message += path;
    message += ": ";
    if (path.find('\0') != std::string_view::npos) {
        message += "file name contained an unexpected NUL byte";
        return value_error(std::move(message));
    }
    const std::string terminated(path);
    int fd;
    do {
        fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        message += os_error_text(errno);
        return value_error(std::move(message));
    }
    return std::make_unique<FileSource>(fd);
}

// ---------------------------------------------------------------- reader

bool CsvReader::refill() {
    if (finished_) return false;
    const ByteSource::Chunk chunk = source_->next();
    if (chunk.error != 0) {
        error_ = chunk.error;
        finished_ = true;
        return false;
    }
    if (chunk.size == 0) {
        finished_ = true;
        return false;
    }
    chunk_start_ = cursor_ = chunk.data;
    limit_ = chunk.data + chunk.size;
    chunk_offset_ = next_offset_;
    next_offset_ += chunk.size;
    if (!started_) {
        started_ = true;
        if (chunk.size >= 3 && std::memcmp(chunk.data, "\xEF\xBB\xBF", 3) == 0) cursor_ += 3;
    }
    return true;
}

// A CR or LF at `p` that ends a line: CR LF is one break, counted at the CR.
inline void CsvReader::count_break(const char* p) noexcept {
    const std::uint64_t offset = offset_of(p);
    if (*p == '\r') {
        ++line_;
        after_cr_ = offset + 1;
    } else if (offset != after_cr_) {
        ++line_;
    }
}

ReadStatus CsvReader::read_record(RecordBuffer& out) {
    return delimiter_ == '\t' ? read<'\t'>(out) : read<','>(out);
}

namespace {

// Copies the bytes from `p` up to the first of A, B, C (or `end`) to `out`,
// advancing it, and returns the position of that byte. `out` must have room
// for (end - p) + 16 bytes: whole 16-byte blocks are stored before they are
// searched, so scanning and copying are one pass with no call per field.
template <unsigned char A, unsigned char B, unsigned char C>
inline const char* copy_until(const char* p, const char* end, char*& out) noexcept {
#if defined(__SSE2__)
    const __m128i a = _mm_set1_epi8(static_cast<char>(A));
    const __m128i b = _mm_set1_epi8(static_cast<char>(B));
    const __m128i c = _mm_set1_epi8(static_cast<char>(C));
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, a), _mm_cmpeq_epi8(block, b)),
                                          _mm_cmpeq_epi8(block, c));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0) {
            const int n = std::countr_zero(static_cast<unsigned>(mask));
            out += n;
            return p + n;
        }
        p += 16;
        out += 16;
    }
#endif
    const char* stop = scan::find_any<false, A, B, C>(p, end);
    std::memcpy(out, p, static_cast<std::size_t>(stop - p));
    out += stop - p;
    return stop;
}

}  // namespace

void FieldEnds::grow(std::size_t count) {
    std::size_t wanted = size_ + count;
    std::size_t doubled = capacity_ * 2;
    const std::size_t capacity = wanted > doubled ? wanted : doubled;
    void* data = std::realloc(data_, capacity * sizeof(std::size_t));
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::size_t*>(data);
    capacity_ = capacity;
}

// The state machine runs over one chunk at a time. Before a chunk is parsed,
// the output is given room for all of its bytes (plus the 16 that a block
// store may run over) and for one field end per byte (every field but the
// last of the input ends at a delimiter or a line break, each a byte), so
// that the loop below appends without checks.
template <char Delimiter>
ReadStatus CsvReader::read(RecordBuffer& out) {
    const std::size_t first_field = out.ends.size();
    const std::size_t first_byte = out.bytes.size();
    State state = State::StartRecord;
    const char* p = cursor_;
    const char* end = limit_;
    std::size_t committed = out.bytes.size();  // output bytes before `base`
    char* base = out.bytes.room(static_cast<std::size_t>(end - p) + 16);
    char* o = base;
    out.ends.reserve_more(static_cast<std::size_t>(end - p) + 1);
    for (;;) {
        if (p == end) {
            cursor_ = p;
            out.bytes.commit(static_cast<std::size_t>(o - base));
            committed = out.bytes.size();
            if (!refill()) {
                if (error_ != 0) {
                    if (error_reported_) return ReadStatus::End;
                    error_reported_ = true;
                    return ReadStatus::InputError;
                }
                if (state == State::StartRecord) return ReadStatus::End;
                out.ends.reserve_more(1);
                out.ends.push_unchecked(committed);  // the last field ends with the input
                break;
            }
            p = cursor_;
            end = limit_;
            base = o = out.bytes.room(static_cast<std::size_t>(end - p) + 16);
            out.ends.reserve_more(static_cast<std::size_t>(end - p) + 1);
        }
        switch (state) {
            case State::StartRecord:
                while (p < end && (*p == '\r' || *p == '\n')) count_break(p++);
                if (p == end) continue;
                position_ = RecordPosition{records_, line_, offset_of(p)};
                state = State::StartField;
                [[fallthrough]];
            case State::StartField:
                if (*p == '"') {
                    ++p;
                    state = State::InQuoted;
                    continue;
                }
                state = State::InField;
                [[fallthrough]];
            case State::InField:
                p = copy_until<static_cast<unsigned char>(Delimiter), '\r', '\n'>(p, end, o);
                if (p == end) continue;
                out.ends.push_unchecked(committed + static_cast<std::size_t>(o - base));
                if (*p == Delimiter) {
                    ++p;
                    state = State::StartField;
                    continue;
                }
                count_break(p++);
                cursor_ = p;
                out.bytes.commit(static_cast<std::size_t>(o - base));
                goto record_done;
            case State::InQuoted:
                p = copy_until<'"', '\r', '\n'>(p, end, o);
                if (p == end) continue;
                if (*p == '"') {
                    ++p;
                    state = State::QuoteInQuoted;
                    continue;
                }
                count_break(p);  // a line break inside the field is content
                *o++ = *p++;
                continue;
            case State::QuoteInQuoted:
                if (*p == '"') {  // a doubled quote stands for one
                    *o++ = '"';
                    ++p;
                    state = State::InQuoted;
                    continue;
                }
                state = State::InField;  // closed; anything but a delimiter or break is content
                continue;
        }
    }
record_done:
    ++records_;
    field_count_ = out.ends.size() - first_field;
    if (!validate(out, first_field, first_byte)) [[unlikely]] return ReadStatus::InvalidUtf8;
    return ReadStatus::Record;
}

bool CsvReader::validate(const RecordBuffer& out, std::size_t first_field, std::size_t first_byte) noexcept {
    if (scan::is_ascii(out.bytes.data() + first_byte, out.bytes.size() - first_byte)) [[likely]] return true;
    for (std::size_t i = first_field; i < out.ends.size(); ++i) {
        const std::string_view field = out.field(i);
        const std::size_t valid = utf8::valid_prefix(field);
        if (valid != field.size()) {
            bad_field_ = i - first_field;
            valid_up_to_ = valid;
            return false;
        }
    }
    return true;
}

std::string CsvReader::error_message() const {
    if (error_reported_) return os_error_text(error_);
    std::string message = "CSV parse error: record ";
    message += std::to_string(position_.record);
    message += " (line ";
    message += std::to_string(position_.line);
    message += ", field: ";
    message += std::to_string(bad_field_);
    message += ", byte: ";
    message += std::to_string(position_.byte);
    message += "): invalid utf-8: invalid UTF-8 in field ";
    message += std::to_string(bad_field_);
    message += " near byte index ";
    message += std::to_string(valid_up_to_);
    return message;
}

}  // namespace tabrix::csv
