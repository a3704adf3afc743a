// interpolate(tree, env): a copy of `tree` whose strings have their variable
// references expanded from `env`. This file walks the Python structure and
// reads the variables; the expansion of one text is core/interpolate.
#include <cstring>
#include <memory>

#include "binding/dict_walk.hpp"
#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "core/interpolate/expand.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::py {

namespace {

// The variables: entries of the env dict, read from its own storage (a
// subclass's __getitem__ or __missing__ is never called). A failed lookup
// leaves its exception set in the interpreter.
class EnvVariables final : public interpolate::Variables {
public:
    explicit EnvVariables(PyObject* env) : env_(env) {}

    Found find(std::string_view name, std::string_view& value) override {
        if (!keys_) keys_ = std::make_unique<KeyCache>();
        PyObject* key = keys_->get(name.data(), name.size(), true);
        if (key == nullptr) return Found::Failed;
        PyObject* found;
        const int status = PyDict_GetItemRef(env_, key, &found);
        if (status < 0) return Found::Failed;
        if (status == 0) return Found::Unset;
        // The value stays alive (and its text valid) until the next lookup,
        // whatever happens to the dict meanwhile.
        value_ = Ref(found);
        if (!PyUnicode_Check(found)) [[unlikely]] {
            raise_not_instance(found, "str");
            return Found::Failed;
        }
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(found, &size);
        if (utf8 == nullptr) return Found::Failed;  // a lone surrogate
        value = std::string_view(utf8, static_cast<std::size_t>(size));
        return Found::Set;
    }

private:
    PyObject* env_;
    Ref value_;
    std::unique_ptr<KeyCache> keys_;  // made on the first lookup
};

class Walk {
public:
    explicit Walk(PyObject* env) : variables_(env) {}

    // A new reference to the interpolated copy of `object`, or NULL with an
    // exception set.
    PyObject* value(PyObject* object, std::size_t depth) {
        if (PyUnicode_Check(object)) return text(object);
        if (PyList_Check(object)) return list(object, depth);
        if (PyDict_Check(object)) return dict(object, depth);
        return Py_NewRef(object);
    }

private:
    PyObject* text(PyObject* str);
    PyObject* list(PyObject* list, std::size_t depth);
    PyObject* dict(PyObject* dict, std::size_t depth);
    PyObject* copy_entries(PyObject* dict);
    [[gnu::cold]] static PyObject* raise(Error error) {
        PendingError(std::move(error)).raise();
        return nullptr;
    }
    static bool enter(std::size_t depth) {
        if (depth >= kMaxNesting) [[unlikely]] {
            raise(recursion_error(std::string(kNestingMessage)));
            return false;
        }
        return true;
    }

    EnvVariables variables_;
    OutBuffer out_;  // one buffer for every expansion of the call
};

// Whether a str that is not compact ASCII may hold a "$" (or a lone
// surrogate, whose UTF-8 form must be asked for so that it fails); read from
// the stored characters, so that text without a reference gets no UTF-8
// copy.
template <class Unit>
bool may_need_expansion(const void* data, Py_ssize_t length) {
    const Unit* units = static_cast<const Unit*>(data);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Unit unit = units[i];
        if (unit == '$' || (unit >= 0xD800 && unit <= 0xDFFF)) return true;
    }
    return false;
}

PyObject* Walk::text(PyObject* str) {
    std::string_view utf8;
    if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
        // ASCII text is its own UTF-8 form.
        utf8 = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
        if (std::memchr(utf8.data(), '$', utf8.size()) == nullptr) return Py_NewRef(str);
    } else {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(str) < 0) return nullptr;
#endif
        const void* data = PyUnicode_DATA(str);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
        bool candidate;
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND:
                candidate = std::memchr(data, '$', static_cast<std::size_t>(length)) != nullptr;
                break;
            case PyUnicode_2BYTE_KIND:
                candidate = may_need_expansion<Py_UCS2>(data, length);
                break;
            default:
                candidate = may_need_expansion<Py_UCS4>(data, length);
                break;
        }
        if (!candidate) return Py_NewRef(str);
        Py_ssize_t size;
        const char* bytes = PyUnicode_AsUTF8AndSize(str, &size);
        if (bytes == nullptr) return nullptr;  // a lone surrogate: UnicodeEncodeError
        utf8 = std::string_view(bytes, static_cast<std::size_t>(size));
        if (std::memchr(utf8.data(), '$', utf8.size()) == nullptr) return Py_NewRef(str);
    }

    out_.clear();
    Error error;
    switch (interpolate::expand(utf8, variables_, out_, error)) {
        case interpolate::Outcome::Expanded:
            return str_from_utf8(out_.data(), out_.size());
        case interpolate::Outcome::Invalid:
            return raise(std::move(error));
        case interpolate::Outcome::LookupFailed:
            break;
    }
    return nullptr;
}

PyObject* Walk::list(PyObject* list, std::size_t depth) {
    if (!enter(depth)) return nullptr;
    // Indexes below the smaller of the length at the start and the current
    // length: a list that shrinks while it is walked is read only so far.
    const Py_ssize_t start_size = PyList_GET_SIZE(list);
    Ref result(PyList_New(start_size));
    if (!result) return nullptr;
    Py_ssize_t i = 0;
    for (; i < start_size && i < PyList_GET_SIZE(list); ++i) {
        Ref item(PyList_GetItemRef(list, i));
        if (!item) {
            // Another thread shortened the list since the size test.
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return nullptr;
            PyErr_Clear();
            break;
        }
        PyObject* copy = value(item.get(), depth + 1);
        if (copy == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), i, copy);
    }
    // The slots past a shrink were never filled: keep the filled ones.
    if (i < start_size) return PyList_GetSlice(result.get(), 0, i);
    return result.release();
}

// A plain dict with the entries of a dict subclass, read from its storage.
PyObject* Walk::copy_entries(PyObject* dict) {
    Ref copy(PyDict_New());
    if (!copy) return nullptr;
    // A key's __eq__, run by the insertion, or another thread may change the
    // dict under the walk.
    WalkError error;
    const bool ok = for_each_entry(dict, error, [&](PyObject* key, PyObject* item) {
        return PyDict_SetItem(copy.get(), key, item) == 0;
    });
    if (!ok) {
        error.take().raise();
        return nullptr;
    }
    return copy.release();
}

PyObject* Walk::dict(PyObject* dict, std::size_t depth) {
    if (!enter(depth)) return nullptr;
    // A copy of the entries as they are now (the same key and value objects,
    // in order; an exact dict is cloned whole), whose values are then
    // replaced where the walk changes them. Nothing else can reach the copy,
    // so its entries are read borrowed and its keys never change.
    Ref result(PyDict_CheckExact(dict) ? PyDict_Copy(dict) : copy_entries(dict));
    if (!result) return nullptr;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* item;
    while (PyDict_Next(result.get(), &position, &key, &item)) {
        if (!PyUnicode_Check(item) && !PyList_Check(item) && !PyDict_Check(item)) continue;
        PyObject* copy = value(item, depth + 1);
        if (copy == nullptr) return nullptr;
        if (copy == item) {
            Py_DECREF(copy);
            continue;
        }
        const int status = PyDict_SetItem(result.get(), key, copy);
        Py_DECREF(copy);
        if (status < 0) return nullptr;
    }
    return result.release();
}

PyResult interpolate(PyObject*, PyObject* tree, Dict env) {
    Walk walk(env.object);
    return PyResult::from(walk.value(tree, 0));
}

}  // namespace

PyMethodDef interpolate_functions[] = {
    {"interpolate", function<kInterpolateSignature, interpolate>(), kFastCall, "interpolate(tree, env)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
