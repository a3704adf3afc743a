// Making Python str objects from UTF-8 text, fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/py.hpp"
#include "core/text/scan.hpp"

namespace tabrix::py {

// A str from ASCII text: one allocation and a copy.
inline PyObject* str_from_ascii(const char* text, std::size_t size) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (str != nullptr && size) std::memcpy(PyUnicode_DATA(str), text, size);
    return str;
}

// A str from valid UTF-8 text (ASCII takes the direct path).
inline PyObject* str_from_utf8(const char* text, std::size_t size) {
    if (scan::is_ascii(text, size)) return str_from_ascii(text, size);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), nullptr);
}
inline PyObject* str_from_utf8(std::string_view text) { return str_from_utf8(text.data(), text.size()); }

// Dict keys of one conversion call: a list of ten thousand records with the
// same twenty keys makes twenty key objects (each hashing once), not two
// hundred thousand. Short keys only; one cache per call, never shared
// between threads.
class KeyCache {
public:
    static constexpr std::size_t kMaxKeySize = 32;

    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache() {
        for (Slot& slot : slots_) Py_XDECREF(slot.key);
    }

    // A new reference to a str holding `text` (valid UTF-8), or NULL with an
    // exception.
    PyObject* get(const char* text, std::size_t size, bool known_ascii = false) {
        if (size > kMaxKeySize || size == 0) return make(text, size, known_ascii);
        Slot& slot = slots_[hash(text, size) & (kSlots - 1)];
        if (slot.key != nullptr && slot.size == size && std::memcmp(slot.bytes, text, size) == 0) {
            return Py_NewRef(slot.key);
        }
        PyObject* key = make(text, size, known_ascii);
        if (key == nullptr) return nullptr;
        Py_XSETREF(slot.key, Py_NewRef(key));
        slot.size = static_cast<std::uint8_t>(size);
        std::memcpy(slot.bytes, text, size);
        return key;
    }

private:
    static constexpr std::size_t kSlots = 256;
    struct Slot {
        PyObject* key = nullptr;
        std::uint8_t size = 0;
        char bytes[kMaxKeySize];
    };

    static PyObject* make(const char* text, std::size_t size, bool known_ascii) {
        return known_ascii ? str_from_ascii(text, size) : str_from_utf8(text, size);
    }
    static std::uint64_t hash(const char* text, std::size_t size) {
        // Mixes the first and last eight bytes (overlapping for short keys)
        // with the length.
        std::uint64_t a = 0, b = 0;
        if (size >= 8) {
            a = scan::load64(text);
            b = scan::load64(text + size - 8);
        } else {
            std::memcpy(&a, text, size);
        }
        std::uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL) ^ size) * 0xBF58476D1CE4E5B9ULL;
        return h ^ (h >> 29);
    }

    Slot slots_[kSlots];
};

}  // namespace tabrix::py
