#include <string>

#include "binding/dict_walk.hpp"
#include "binding/tree_convert.hpp"
#include "core/jsonc/json_writer.hpp"

namespace tabrix::py {

namespace {

// The walk over a Python value, giving each value to `Sink` in document
// order: a TreeBuilder (the config tree of every dumps) or a JsonEmitter
// (jsonc.dumps, which needs no tree). One walk decides types, order and
// errors for both.
template <class Sink>
class FromPython {
public:
    explicit FromPython(Sink& sink) noexcept : sink(sink) {}

    // False when the walk failed: then either the interpreter has an
    // exception set or `error` holds the error.
    bool convert(PyObject* object, std::size_t depth) { return convert_value(object, depth); }

    Sink& sink;
    WalkError error;
    // Counts the steps that may run Python code (a subclass's methods, an
    // int's str()): a dict entry whose conversion left it unchanged ran
    // none, so nothing can have changed the dict meanwhile.
    std::size_t code_steps = 0;

private:
    // The walk recurses once per level (up to kMaxNesting): the rare paths
    // and the containers stay out of line, so each level keeps a small frame.
    [[gnu::cold, gnu::noinline]] bool fail(ErrorKind kind, const char* message) {
        return error.fail(kind, std::string(message));
    }
    [[gnu::cold, gnu::noinline]] bool fail_type(PyTypeObject* type);
    inline bool add_int(PyObject* integer);
    [[gnu::noinline]] bool add_big_int(PyObject* integer);
    template <bool kKey>
    inline bool add_text(PyObject* str);
    bool enter(std::size_t depth) {
        if (depth >= kMaxNesting) [[unlikely]] return fail(ErrorKind::Recursion, kNestingMessage.data());
        return true;
    }
    // The exact scalar types inline, in the loops over a container's items,
    // which saves a call (and its frame) per value; the rest out of line.
    [[gnu::always_inline]] inline bool convert_value(PyObject* object, std::size_t depth);
    [[gnu::noinline]] bool convert_other(PyObject* object, std::size_t depth);
    [[gnu::noinline]] bool convert_list(PyObject* list, std::size_t depth);
    [[gnu::noinline]] bool convert_tuple(PyObject* tuple, std::size_t depth);
    [[gnu::noinline]] bool convert_dict(PyObject* dict, std::size_t depth);
};

template <class Sink>
template <bool kKey>
bool FromPython<Sink>::add_text(PyObject* str) {
    std::string_view text;
    bool ascii;
    if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
        // ASCII text is its own UTF-8 form.
        text = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
        ascii = true;
    } else {
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
        if (utf8 == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
        text = std::string_view(utf8, static_cast<std::size_t>(size));
        ascii = PyUnicode_IS_ASCII(str);
    }
    if constexpr (kKey) sink.add_key(text, ascii);
    else sink.add_str(text, ascii);
    return true;
}

template <class Sink>
bool FromPython<Sink>::convert_value(PyObject* object, std::size_t depth) {
    // The exact built-in types first, one pointer test each, in the order of
    // how common they are in configs; each is matched by exactly one of the
    // general tests in convert_other, so the result is the same. It saves the
    // subtype search that PyFloat_Check makes for every list and dict.
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyUnicode_Type) return add_text<false>(object);
    if (type == &PyLong_Type) return add_int(object);
    if (type == &PyFloat_Type) {
        sink.add_float(PyFloat_AS_DOUBLE(object));
        return true;
    }
    if (type == &PyBool_Type) {
        sink.add_bool(object == Py_True);
        return true;
    }
    if (object == Py_None) {
        sink.add_null();
        return true;
    }
    return convert_other(object, depth);
}

template <class Sink>
bool FromPython<Sink>::convert_other(PyObject* object, std::size_t depth) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyDict_Type) return convert_dict(object, depth);
    if (type == &PyList_Type) return convert_list(object, depth);
    ++code_steps;
    if (PyUnicode_Check(object)) return add_text<false>(object);
    if (PyLong_Check(object)) return add_int(object);
    if (PyFloat_Check(object)) {
        sink.add_float(PyFloat_AS_DOUBLE(object));
        return true;
    }
    if (PyList_Check(object)) return convert_list(object, depth);
    if (PyTuple_Check(object)) return convert_tuple(object, depth);
    if (PyDict_Check(object)) return convert_dict(object, depth);
    return fail_type(type);
}

template <class Sink>
bool FromPython<Sink>::add_int(PyObject* integer) {
    // A value of one machine digit (below 2**30 in magnitude) read directly.
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(integer))) [[likely]] {
        sink.add_int(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(integer)));
        return true;
    }
#else
    // Before 3.12 the size is the signed digit count, in the layout that
    // release line keeps.
    const Py_ssize_t digits = Py_SIZE(integer);
    if (digits >= -1 && digits <= 1) [[likely]] {
        sink.add_int(digits * static_cast<std::int64_t>(reinterpret_cast<PyLongObject*>(integer)->ob_digit[0]));
        return true;
    }
#endif
    {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) return false;
            sink.add_int(value);
            return true;
        }
    }
    return add_big_int(integer);
}

template <class Sink>
bool FromPython<Sink>::fail_type(PyTypeObject* type) {
    Ref name(PyType_GetName(type));
    if (!name) return false;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) return false;
    return error.fail(ErrorKind::Type,
                      "cannot represent " + std::string(utf8, static_cast<std::size_t>(size)) + " in a config tree");
}

// An int beyond 64 bits: its str() (a subclass's own, if it has one).
template <class Sink>
bool FromPython<Sink>::add_big_int(PyObject* integer) {
    ++code_steps;
    Ref text(PyObject_Str(integer));
    if (!text) return false;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return false;
    sink.add_big_int(std::string_view(utf8, static_cast<std::size_t>(size)));
    return true;
}

template <class Sink>
bool FromPython<Sink>::convert_tuple(PyObject* tuple, std::size_t depth) {
    if (!enter(depth)) return false;
    sink.begin_list();
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!convert_value(PyTuple_GET_ITEM(tuple, i), depth + 1)) return false;
    }
    sink.end_list();
    return true;
}

template <class Sink>
bool FromPython<Sink>::convert_list(PyObject* list, std::size_t depth) {
    if (!enter(depth)) return false;
    sink.begin_list();
    // Indexes below the smaller of the length at the start and the current
    // length: a list that shrinks while it is walked is read only so far.
    const Py_ssize_t start_size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start_size && i < PyList_GET_SIZE(list); ++i) {
#ifndef Py_GIL_DISABLED
        // Under the GIL an item that is_plain is converted without a
        // reference of its own (two reference count writes and a call saved
        // per item): converting it runs no Python code, so nothing can take
        // it out of the list meanwhile. Any other item is held.
        PyObject* const borrowed = PyList_GET_ITEM(list, i);
        // The object two items on is asked for now, as the dict walk does,
        // and the table of the next one if it is a dict (its object was
        // asked for an item ago): a list of dicts then reads each one's
        // entries without waiting.
        const Py_ssize_t length = PyList_GET_SIZE(list);
        if (i + 2 < length) __builtin_prefetch(PyList_GET_ITEM(list, i + 2));
        if (i + 1 < length) {
            PyObject* const next = PyList_GET_ITEM(list, i + 1);
            if (Py_TYPE(next) == &PyDict_Type) prefetch_table(next);
        }
        if (is_plain(borrowed)) {
            if (!convert_value(borrowed, depth + 1)) return false;
            continue;
        }
        const Ref item = Ref::borrow(borrowed);
#else
        Ref item(PyList_GetItemRef(list, i));
        if (!item) {
            // Another thread shortened the list since the size test.
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                break;
            }
            return false;
        }
#endif
        if (!convert_value(item.get(), depth + 1)) return false;
    }
    sink.end_list();
    return true;
}

template <class Sink>
bool FromPython<Sink>::convert_dict(PyObject* dict, std::size_t depth) {
    if (!enter(depth)) return false;
    sink.begin_map();
    // Plain keys and values unheld: converting them runs no Python code.
    const bool ok = for_each_entry<false>(dict, error, [&](PyObject* key, PyObject* value) {
        const std::size_t steps = code_steps;
        if (!PyUnicode_Check(key)) {
            fail(ErrorKind::Type, "config keys must be strings");
            return Visited::Failed;
        }
        // A str subclass as key: its conversion counts as code that may run.
        if (Py_TYPE(key) != &PyUnicode_Type) ++code_steps;
        if (!add_text<true>(key)) {
            PyErr_Clear();  // a lone surrogate
            fail(ErrorKind::Type, "config keys must be strings");
            return Visited::Failed;
        }
        if (!convert_value(value, depth + 1)) return Visited::Failed;
        return code_steps == steps ? Visited::Quiet : Visited::RanCode;
    });
    if (!ok) return false;
    sink.end_map();
    return true;
}

}  // namespace

Outcome<ConfigTree> tree_from_python(PyObject* object) {
    TreeBuilder builder;
    FromPython<TreeBuilder> walk(builder);
    if (!walk.convert(object, 0)) return walk.error.take();
    return builder.finish();
}

Outcome<bool> json_from_python(PyObject* object, OutBuffer& out) {
    jsonc::JsonEmitter emitter(out);
    FromPython<jsonc::JsonEmitter> walk(emitter);
    if (!walk.convert(object, 0)) return walk.error.take();
    emitter.finish();
    if (emitter.saw_nan()) return jsonc::JsonEmitter::nan_error();
    return emitter.ascii();
}

}  // namespace tabrix::py
