// The csv and tsv submodules: loads, dumps, stream, stream_at, dumps_header,
// dumps_row, and the CsvStream class they share. Both submodules run the same
// code, instantiated for their delimiter byte.
#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "core/csv/cell.hpp"
#include "core/csv/document.hpp"
#include "core/csv/reader.hpp"
#include "core/csv/writer.hpp"
#include "core/number/float_text.hpp"

namespace tabrix::py {

namespace {

using csv::CellKind;

// ---------------------------------------------------------------- argument kinds

// `header` of dumps_header and dumps_row: any sequence of str except a str,
// copied as UTF-8.
struct ColumnNames {
    std::vector<std::string> names;
};

// `number` of dumps_row: a non-negative int (or an object with __index__)
// that fits in 64 bits.
struct RecordNumber {
    std::uint64_t value = 0;
};

// `data` of stream: bytes or bytearray (copied as they are), or any other
// sequence of integers from 0 to 255, except a str.
struct StreamBytes {
    std::string bytes;
};

// Calls take(item) for each item of a sequence argument (`header`, or
// `data` of stream); a str is refused as a whole, and so is an object that
// is not a sequence. False with an exception set.
template <class Take>
bool for_each_item(PyObject* object, Take&& take) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_not_instance(object, "Sequence");
        return false;
    }
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (;;) {
        PyObject* raw;
        const int status = PyIter_NextItem(iterator.get(), &raw);
        if (status == 0) return true;
        if (status < 0) return false;
        const Ref item(raw);
        if (!take(raw)) return false;
    }
}

}  // namespace

template <>
struct Convert<ColumnNames> {
    static bool from(PyObject* object, ColumnNames& out) {
        return for_each_item(object, [&](PyObject* name) {
            if (!PyUnicode_Check(name)) {
                raise_not_instance(name, "str");
                return false;
            }
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) return false;
            out.names.emplace_back(utf8, static_cast<std::size_t>(size));
            return true;
        });
    }
};

template <>
struct Convert<RecordNumber> {
    static bool from(PyObject* object, RecordNumber& out) {
        Ref index(PyLong_Check(object) ? Py_NewRef(object) : PyNumber_Index(object));
        if (!index) return false;
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out.value = value;
        return true;
    }
};

template <>
struct Convert<StreamBytes> {
    static bool from(PyObject* object, StreamBytes& out) {
        if (PyBytes_Check(object)) {
            out.bytes.assign(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
            return true;
        }
        if (PyByteArray_Check(object)) {
            CriticalSection section(object);
            out.bytes.assign(PyByteArray_AS_STRING(object), static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
            return true;
        }
        return for_each_item(object, [&](PyObject* item) {
            const long value = PyLong_AsLong(item);  // through __index__ where needed
            if (value == -1 && PyErr_Occurred()) return false;
            if (value < 0 || value > 255) {
                PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
                return false;
            }
            out.bytes.push_back(static_cast<char>(value));
            return true;
        });
    }
};

namespace {

// ---------------------------------------------------------------- cells to Python

// builtins.int(text), looked up at each call (only integers beyond 64 bits
// come here); the interpreter's limit on integer digits applies.
PyObject* int_from_text(std::string_view digits) {
    Ref text(str_from_ascii(digits.data(), digits.size()));
    if (!text) return nullptr;
    return builtin_int(text.get());
}

// The Python value of a non-empty cell of the given kind: the column's join in
// loads, the cell's own kind in a stream; `ascii` when the cell is known to
// be ASCII. A new reference, or NULL with an exception.
PyObject* cell_to_python(std::string_view cell, CellKind kind, bool ascii = false) {
    switch (kind) {
        case CellKind::Int: {
            std::int64_t value;
            csv::read_cell_int64(cell, value);
            return PyLong_FromLongLong(value);
        }
        case CellKind::Float:
            return PyFloat_FromDouble(csv::read_cell_double(cell));
        case CellKind::Bool:
            return Py_NewRef(cell == "true" ? Py_True : Py_False);
        case CellKind::BigInt: {
            std::int64_t value;
            if (csv::read_cell_int64(cell, value)) return PyLong_FromLongLong(value);
            return int_from_text(cell);
        }
        case CellKind::Empty:
            Py_RETURN_NONE;
        case CellKind::Text:
            break;
    }
    return ascii ? str_from_ascii(cell.data(), cell.size()) : str_from_utf8(cell);
}

// One str key per column, made once and shared by every record built from
// it, and a blank record mapping each key to None. A record starts as a copy
// of the blank one: the copy clones its finished hash table in one go, where
// inserting the keys one by one would grow and rehash the table of every
// record wider than a few columns.
struct ColumnKeys {
    std::vector<Ref> keys;
    Ref blank;

    PyObject* new_record() const { return PyDict_Copy(blank.get()); }
};

Outcome<ColumnKeys> column_keys(const csv::Header& header) {
    ColumnKeys columns{{}, Ref(PyDict_New())};
    if (!columns.blank) return Outcome<ColumnKeys>::failed();
    columns.keys.reserve(header.size());
    for (const std::string& name : header) {
        columns.keys.emplace_back(str_from_utf8(name));
        if (!columns.keys.back() || PyDict_SetItem(columns.blank.get(), columns.keys.back().get(), Py_None) < 0) {
            return Outcome<ColumnKeys>::failed();
        }
    }
    return columns;
}

// ---------------------------------------------------------------- writing

enum class CellStatus { Written, Failed, NotScalar };

// Appends the field text of one value: None empty, a bool true/false, a str
// its UTF-8, an int or float (or a subclass) its str(). NotScalar for any
// other value, and for a str that has no UTF-8 form (a lone surrogate);
// Failed with the interpreter's exception. `ascii` is cleared when the text
// written may hold non-ASCII characters.
template <char Delimiter>
CellStatus write_value(OutBuffer& out, PyObject* value, bool& ascii) {
    if (value == Py_None) return CellStatus::Written;
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyBool_Type) {
        if (value == Py_True) out.append("true", 4);
        else out.append("false", 5);
        return CellStatus::Written;
    }
    if (PyUnicode_Check(value)) {
        if (PyUnicode_IS_COMPACT_ASCII(value)) [[likely]] {
            // ASCII text is its own UTF-8 form.
            csv::write_field<Delimiter>(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                                                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))));
            return CellStatus::Written;
        }
        ascii = false;
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 != nullptr) [[likely]] {
            csv::write_field<Delimiter>(out, std::string_view(utf8, static_cast<std::size_t>(size)));
            return CellStatus::Written;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return CellStatus::Failed;
        PyErr_Clear();
        return CellStatus::NotScalar;  // not a str for the writer, nor an int or float
    }
    if (type == &PyLong_Type) {
        int overflow;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            if (number == -1 && PyErr_Occurred()) return CellStatus::Failed;
            write_int(out, number);
            return CellStatus::Written;
        }
    } else if (type == &PyFloat_Type) {
        csv::write_float_repr(out, PyFloat_AS_DOUBLE(value));
        return CellStatus::Written;
    } else if (!PyLong_Check(value) && !PyFloat_Check(value)) {
        return CellStatus::NotScalar;
    }
    // An int beyond 64 bits, or a subclass of int or float: its str().
    Ref text(PyObject_Str(value));
    if (!text) return CellStatus::Failed;
    ascii = ascii && PyUnicode_IS_ASCII(text.get());
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return CellStatus::Failed;
    csv::write_field<Delimiter>(out, std::string_view(utf8, static_cast<std::size_t>(size)));
    return CellStatus::Written;
}

[[gnu::cold]] PendingError record_error(std::uint64_t number, const char* what, std::string_view detail = {}) {
    std::string message = "record ";
    message += std::to_string(number);
    message += what;
    message += detail;
    return PendingError(ErrorKind::Value, std::move(message));
}

[[gnu::cold]] PendingError key_count_error(std::uint64_t number, Py_ssize_t keys, std::size_t columns,
                                           const char* declared_by) {
    std::string message = "record ";
    message += std::to_string(number);
    message += " has ";
    message += std::to_string(keys);
    message += " keys, ";
    message += declared_by;
    message += " declares ";
    message += std::to_string(columns);
    return PendingError(ErrorKind::Value, std::move(message));
}

[[gnu::cold]] PendingError cell_failure(CellStatus status, std::uint64_t number, std::string_view name) {
    if (status == CellStatus::Failed) return PendingError::capture();
    std::string message = "record ";
    message += std::to_string(number);
    message += " column ";
    message += name;
    message += " is not a csv scalar";
    return PendingError(ErrorKind::Type, std::move(message));
}

// The header line. Two names are quoted whatever they hold: a first name
// that starts with U+FEFF (the reader drops byte-order marks at the start of
// the text), and the empty name of a one-column header (an empty line is no
// record to the reader).
template <char Delimiter>
void write_header_line(OutBuffer& out, const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out.push(Delimiter);
        const std::string_view name = names[i];
        if (i == 0 && (name.starts_with("\xEF\xBB\xBF") || (name.empty() && names.size() == 1))) {
            csv::write_quoted(out, name);
            continue;
        }
        csv::write_field<Delimiter>(out, name);
    }
    out.push('\n');
}

// Whether writing `value` runs no Python code: None, a bool, an exact str,
// int or float.
inline bool written_without_code(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyBool_Type || type == &PyUnicode_Type || type == &PyLong_Type ||
           type == &PyFloat_Type;
}

// The fields of one record in column order, then LF: the record must be a
// dict holding exactly the columns. `declared_by` names the source of the
// columns in the key-count message.
//
// Records are usually built with the columns in header order and the very
// key objects of the first record, so the walk first reads the entries in
// their own order while each key is the column's key object, which costs far
// less than a lookup per cell. From the first entry that is not (or after a
// value whose str() ran Python code, which may change the record) it looks
// the remaining columns up.
template <char Delimiter>
Outcome<bool> write_record(OutBuffer& out, bool& ascii, PyObject* record, std::uint64_t number,
                           const std::vector<Ref>& keys, const std::vector<std::string>& names,
                           const char* declared_by) {
    if (!PyDict_Check(record)) return record_error(number, " is not a mapping");
    const Py_ssize_t size = PyDict_GET_SIZE(record);
    if (static_cast<std::size_t>(size) != keys.size()) return key_count_error(number, size, keys.size(), declared_by);
    const std::size_t line_start = out.size();
    std::size_t c = 0;
    {
        CriticalSection lock(record);
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* raw;
        while (c < keys.size() && PyDict_Next(record, &position, &key, &raw) && key == keys[c].get()) {
            if (c > 0) out.push(Delimiter);
            const bool plain = written_without_code(raw);
            const Ref value = Ref::borrow(raw);
            const CellStatus status = write_value<Delimiter>(out, raw, ascii);
            if (status != CellStatus::Written) [[unlikely]] return cell_failure(status, number, names[c]);
            ++c;
            if (!plain) break;
        }
    }
    for (; c < keys.size(); ++c) {
        if (c > 0) out.push(Delimiter);
        PyObject* raw;
        const int found = PyDict_GetItemRef(record, keys[c].get(), &raw);
        if (found < 0) return PendingError::capture();
        if (found == 0) return record_error(number, " is missing column ", names[c]);
        Ref value(raw);
        const CellStatus status = write_value<Delimiter>(out, raw, ascii);
        if (status != CellStatus::Written) [[unlikely]] return cell_failure(status, number, names[c]);
    }
    // The one empty field of a one-column record, quoted: bare, it would be
    // an empty line, which the reader skips.
    if (keys.size() == 1 && out.size() == line_start) out.append("\"\"", 2);
    out.push('\n');
    return true;
}

// ---------------------------------------------------------------- CsvStream

struct StreamState {
    StreamState(csv::CsvReader&& reader_, csv::Header&& header_, ColumnKeys&& columns_)
        : reader(std::move(reader_)), header(std::move(header_)), columns(std::move(columns_)) {}

    csv::CsvReader reader;    // owns the byte copy or the open file
    csv::Header header;
    ColumnKeys columns;       // one str per column, shared by every record
    csv::RecordBuffer record;  // the record being typed
    std::uint64_t rows = 0;   // records handed out, good or failed
};

struct CsvStreamObject {
    PyObject_HEAD
    // 0 free, -1 while __next__ runs, n > 0 for n shared uses (__iter__,
    // header). Changed only by compare-and-swap: a conflicting use fails at
    // once instead of waiting.
    std::atomic<Py_ssize_t> borrow;
    StreamState* state;
};

CsvStreamObject* as_stream(PyObject* self) { return reinterpret_cast<CsvStreamObject*>(self); }

// Shared use for the life of the object; fails with "Already mutably
// borrowed" while a __next__ runs.
class SharedUse {
public:
    explicit SharedUse(CsvStreamObject* stream) : stream_(stream) {
        Py_ssize_t current = stream->borrow.load(std::memory_order_relaxed);
        do {
            if (current < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                stream_ = nullptr;
                return;
            }
        } while (!stream->borrow.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                       std::memory_order_relaxed));
    }
    ~SharedUse() {
        if (stream_ != nullptr) stream_->borrow.fetch_sub(1, std::memory_order_release);
    }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;
    explicit operator bool() const noexcept { return stream_ != nullptr; }

private:
    CsvStreamObject* stream_;
};

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_stream(self)->state;  // closes the file, frees the byte copy
    as_stream(self)->borrow.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_iter(PyObject* self) {
    SharedUse use(as_stream(self));
    if (!use) return nullptr;
    return Py_NewRef(self);
}

PyObject* stream_header(PyObject* self, void*) {
    SharedUse use(as_stream(self));
    if (!use) return nullptr;
    const csv::Header& header = as_stream(self)->state->header;
    Ref list(PyList_New(static_cast<Py_ssize_t>(header.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < header.size(); ++i) {
        PyObject* name = str_from_utf8(header[i]);
        if (name == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

// The next record as a dict, each cell typed on its own; NULL without an
// exception at the end.
PyObject* next_record(StreamState& state) {
    state.record.clear();
    const csv::ReadStatus status = state.reader.read_record(state.record);
    if (status == csv::ReadStatus::End) return nullptr;
    const std::uint64_t row = state.rows + 2;  // the header is row 1
    ++state.rows;
    if (status != csv::ReadStatus::Record) {
        PendingError(csv::row_reader_error(row, state.reader)).raise();
        return nullptr;
    }
    const std::size_t columns = state.header.size();
    if (state.record.field_count() != columns) {
        PendingError(csv::row_length_error(row, state.record.field_count(), columns)).raise();
        return nullptr;
    }
    Ref dict(state.columns.new_record());
    if (!dict) return nullptr;
    for (std::size_t c = 0; c < columns; ++c) {
        const std::string_view cell = state.record.field(c);
        if (cell.empty()) continue;  // None already
        const csv::TypedCell typed = csv::type_cell(cell);
        Ref value(typed.kind == CellKind::Int     ? PyLong_FromLongLong(typed.value.integer)
                  : typed.kind == CellKind::Float ? PyFloat_FromDouble(typed.value.real)
                                                  : cell_to_python(cell, typed.kind));
        if (!value || PyDict_SetItem(dict.get(), state.columns.keys[c].get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* stream_next(PyObject* self) {
    CsvStreamObject* stream = as_stream(self);
    Py_ssize_t expected = 0;
    if (!stream->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    PyObject* result;
    try {
        result = next_record(*stream->state);
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    }
    stream->borrow.store(0, std::memory_order_release);
    return result;
}

PyGetSetDef stream_getset[] = {
    {"header", stream_header, nullptr, "The column names, in file order (a new list on each read).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kCsvStreamDoc[] =
    "Row-at-a-time CSV iterator. The document lives in the reader (bytes or file), only\n"
    "one record is materialized per `next`, and each cell is typed on its own \xE2\x80\x94 while\n"
    "streaming there is no whole-column view, so mixed-kind columns may vary per row\n"
    "(`loads` keeps the global column-wise inference: it reads every cell of a column first.)";

PyType_Slot csv_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kCsvStreamDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&stream_next)},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec csv_stream_spec = {
    "tabrix._native.CsvStream",
    static_cast<int>(sizeof(CsvStreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    csv_stream_slots,
};

ProcessOnce csv_stream_class;

// Reads and checks the header, then wraps the reader in a new CsvStream.
PyResult make_stream(char delimiter, std::unique_ptr<csv::ByteSource> source) {
    csv::CsvReader reader(delimiter, std::move(source));
    Result<csv::Header> header = csv::read_header(reader);
    if (!header) return std::move(header).error();
    Outcome<ColumnKeys> columns = column_keys(*header);
    if (!columns) return std::move(columns).error();
    auto* type = reinterpret_cast<PyTypeObject*>(csv_stream_type());
    if (type == nullptr) return PyResult::failed();
    auto state = std::make_unique<StreamState>(std::move(reader), std::move(header).value(), std::move(columns).value());
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return PyResult::failed();
    CsvStreamObject* stream = as_stream(object);
    new (&stream->borrow) std::atomic<Py_ssize_t>(0);
    stream->state = state.release();
    return PyResult(Ref(object));
}

// ---------------------------------------------------------------- the functions

template <char Delimiter>
struct Codec {
    // The text is read without the lock and without a copy: a str's UTF-8
    // form never changes and lives as long as the str, which the caller
    // holds for the whole call; the document copies the fields it keeps.
    static PyResult loads(PyObject*, Text data) {
        ConversionTurn turn;
        Result<csv::Document> read = [&]() -> Result<csv::Document> {
            WithoutGil released(turn);
            return csv::read_document(data.utf8, Delimiter);
        }();
        if (!read) return std::move(read).error();
        const csv::Document& document = *read;

        Outcome<ColumnKeys> keys = column_keys(document.header);
        if (!keys) return std::move(keys).error();
        const std::size_t columns = document.header.size();
        const CellKind* kinds = document.kinds.data();
        const std::uint8_t* numbers_ready = document.numbers_ready.data();
        const csv::CellValue* values = document.values.data();
        Ref list(PyList_New(static_cast<Py_ssize_t>(document.records)));
        if (!list) return PyResult::failed();
        for (std::size_t r = 0, index = 0; r < document.records; ++r) {
            Ref dict(keys->new_record());
            if (!dict) return PyResult::failed();
            for (std::size_t c = 0; c < columns; ++c, ++index) {
                const std::string_view cell = document.cell(r, c);
                if (cell.empty()) continue;  // None already
                // A number read while the cells were typed, else the text.
                Ref value(!numbers_ready[c]           ? cell_to_python(cell, kinds[c], document.ascii)
                          : kinds[c] == CellKind::Int ? PyLong_FromLongLong(values[index].integer)
                                                      : PyFloat_FromDouble(values[index].real));
                if (!value || PyDict_SetItem(dict.get(), keys->keys[c].get(), value.get()) < 0) {
                    return PyResult::failed();
                }
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), dict.release());
        }
        return PyResult(std::move(list));
    }

    static PyResult dumps(PyObject*, PyObject* obj) {
        if (!PyList_Check(obj)) return PendingError(ErrorKind::Value, "csv documents are lists of records");
        const Py_ssize_t count = PyList_GET_SIZE(obj);
        if (count == 0) {
            return PendingError(ErrorKind::Value, "csv needs at least one record to derive the header");
        }
        Ref first(PyList_GetItemRef(obj, 0));
        if (!first) return PyResult::failed();
        if (!PyDict_Check(first.get())) return PendingError(ErrorKind::Value, "csv records must be mappings");

        // The header: the first record's keys, in insertion order.
        std::vector<Ref> dict_keys;
        {
            CriticalSection section(first.get());
            Py_ssize_t position = 0;
            PyObject *key, *value;
            while (PyDict_Next(first.get(), &position, &key, &value)) dict_keys.emplace_back(Py_NewRef(key));
        }
        std::vector<std::string> names;
        std::vector<Ref> keys;
        names.reserve(dict_keys.size());
        keys.reserve(dict_keys.size());
        for (Ref& key_ref : dict_keys) {
            PyObject* raw = key_ref.get();
            if (!PyUnicode_Check(raw)) {
                raise_not_instance(raw, "str");
                return PyResult::failed();
            }
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(raw, &size);
            if (utf8 == nullptr) return PyResult::failed();
            names.emplace_back(utf8, static_cast<std::size_t>(size));
            // An exact str serves as the lookup key as it is; a subclass is
            // replaced by a plain str of the same text.
            keys.emplace_back(PyUnicode_CheckExact(raw) ? Py_NewRef(raw) : str_from_utf8(names.back()));
            if (!keys.back()) return PyResult::failed();
        }

        // 12 bytes per cell up front (up to 64 MB; a larger text grows the buffer).
        constexpr std::size_t kMaxInitial = std::size_t{64} << 20;
        const std::size_t per_record = (keys.size() + 1) * 12;
        const auto records = static_cast<std::size_t>(count);
        OutBuffer out(records >= kMaxInitial / per_record ? kMaxInitial : records * per_record);
        write_header_line<Delimiter>(out, names);
        // Whether the whole text is ASCII, known as it is written: the str
        // is then made without a scan.
        bool ascii = scan::is_ascii(out.data(), out.size());
        // A list that shrinks while it is written (a value's __str__ may change
        // it) ends the walk early.
        for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(obj); ++i) {
            Ref record(PyList_GetItemRef(obj, i));
            if (!record) {
                PyErr_Clear();
                break;
            }
            Outcome<bool> written = write_record<Delimiter>(out, ascii, record.get(), static_cast<std::uint64_t>(i) + 1,
                                                            keys, names, "the first record");
            if (!written) return std::move(written).error();
        }
        return PyResult::from(ascii ? str_from_ascii(out.data(), out.size()) : str_from_utf8(out.data(), out.size()));
    }

    static PyResult dumps_header(PyObject*, ColumnNames header) {
        OutBuffer out;
        write_header_line<Delimiter>(out, header.names);
        return PyResult::from(str_from_utf8(out.data(), out.size()));
    }

    static PyResult dumps_row(PyObject*, ColumnNames header, RecordNumber number, PyObject* row) {
        if (!PyDict_Check(row)) return record_error(number.value, " is not a mapping");
        // Key objects are made on each call.
        std::vector<Ref> keys;
        keys.reserve(header.names.size());
        for (const std::string& name : header.names) {
            keys.emplace_back(str_from_utf8(name));
            if (!keys.back()) return PyResult::failed();
        }
        OutBuffer out;
        bool ascii = true;
        Outcome<bool> written = write_record<Delimiter>(out, ascii, row, number.value, keys, header.names, "the header");
        if (!written) return std::move(written).error();
        return PyResult::from(str_from_utf8(out.data(), out.size()));
    }

    static PyResult stream(PyObject*, StreamBytes data) {
        // One byte-order mark is dropped here, and the reader skips another.
        const std::size_t start = data.bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        return make_stream(Delimiter, std::make_unique<csv::MemorySource>(std::move(data.bytes), start));
    }

    static PyResult stream_at(PyObject*, Text path) {
        Result<std::unique_ptr<csv::FileSource>> file = csv::FileSource::open(path.utf8);
        if (!file) return std::move(file).error();
        return make_stream(Delimiter, std::move(file).value());
    }
};

using Csv = Codec<','>;
using Tsv = Codec<'\t'>;

}  // namespace

PyObject* csv_stream_type() {
    return csv_stream_class.get([] { return PyType_FromSpec(&csv_stream_spec); });
}

PyMethodDef csv_functions[] = {
    {"loads", function<kLoadsSignature, Csv::loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, Csv::dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {"stream", function<kStreamSignature, Csv::stream>(), kFastCall, "stream(data)\n--\n\n"},
    {"stream_at", function<kStreamAtSignature, Csv::stream_at>(), kFastCall, "stream_at(path)\n--\n\n"},
    {"dumps_header", function<kDumpsHeaderSignature, Csv::dumps_header>(), kFastCall, "dumps_header(header)\n--\n\n"},
    {"dumps_row", function<kDumpsRowSignature, Csv::dumps_row>(), kFastCall, "dumps_row(header, number, row)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef tsv_functions[] = {
    {"loads", function<kLoadsSignature, Tsv::loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, Tsv::dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {"stream", function<kStreamSignature, Tsv::stream>(), kFastCall, "stream(data)\n--\n\n"},
    {"stream_at", function<kStreamAtSignature, Tsv::stream_at>(), kFastCall, "stream_at(path)\n--\n\n"},
    {"dumps_header", function<kDumpsHeaderSignature, Tsv::dumps_header>(), kFastCall, "dumps_header(header)\n--\n\n"},
    {"dumps_row", function<kDumpsRowSignature, Tsv::dumps_row>(), kFastCall, "dumps_row(header, number, row)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
