// Making Python str objects from UTF-8 text, fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

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
// hundred thousand. Short keys only, up to kMaxKeys distinct ones (an open
// addressing table that starts small and doubles); one cache per call, never
// shared between threads. The cache owns every key it hands out, cached or
// not, until it is destroyed: a caller that only puts the key into a dict
// takes no reference of its own, which saves two reference count writes per
// entry.
class KeyCache {
public:
    static constexpr std::size_t kMaxKeySize = 32;
    static constexpr std::size_t kMaxKeys = 4096;
    static constexpr std::size_t kMaxProbes = 32;

    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache() {
        for (std::size_t i = 0; i < capacity_; ++i) Py_XDECREF(slots_[i].key);
        for (PyObject* key : uncached_) Py_DECREF(key);
    }

    // A str holding `text` (valid UTF-8), borrowed from the cache: valid
    // while the cache lives. NULL with an exception.
    PyObject* get(const char* text, std::size_t size, bool known_ascii = false) {
        if (size > kMaxKeySize || size == 0) return keep(make(text, size, known_ascii));
        const std::uint64_t h = hash(text, size);
        const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
        if (capacity_ == 0) grow();
        std::size_t i = static_cast<std::size_t>(h) & (capacity_ - 1);
        std::size_t probes = 0;
        while (slots_[i].key != nullptr) {
            const Slot& slot = slots_[i];
            if (slot.tag == tag && slot.size == size && same_bytes(slot.bytes, text, size)) return slot.key;
            // Keys made to collide find no place and go uncached.
            if (++probes == kMaxProbes) return keep(make(text, size, known_ascii));
            i = (i + 1) & (capacity_ - 1);
        }
        PyObject* key = make(text, size, known_ascii);
        if (key == nullptr || count_ == kMaxKeys) return keep(key);
        Slot& slot = slots_[i];
        slot.key = key;
        slot.tag = tag;
        slot.size = static_cast<std::uint8_t>(size);
        std::memcpy(slot.bytes, text, size);
        if (++count_ * 2 > capacity_) grow();
        return key;
    }

private:
    struct Slot {
        PyObject* key;
        std::uint32_t tag;  // high half of the hash
        std::uint8_t size;
        char bytes[kMaxKeySize];
    };

    // Holds a key that has no slot (too long, too many, or colliding).
    [[gnu::noinline]] PyObject* keep(PyObject* key) {
        if (key != nullptr) uncached_.push_back(key);
        return key;
    }
    static PyObject* make(const char* text, std::size_t size, bool known_ascii) {
        return known_ascii ? str_from_ascii(text, size) : str_from_utf8(text, size);
    }
    static std::uint64_t hash(const char* text, std::size_t size) {
        // Mixes every byte (overlapping reads, never past the text) with the
        // length: texts that differ only in the middle ("node-0017-eu-west")
        // must not all probe one run of slots.
        std::uint64_t a, b;
        if (size > 16) {
            a = scan::load64(text) ^ (scan::load64(text + size - 16) * 0xC2B2AE3D27D4EB4FULL);
            b = scan::load64(text + size - 8) ^ (scan::load64(text + 8) * 0x165667B19E3779F9ULL);
        } else if (size >= 8) {
            a = scan::load64(text);
            b = scan::load64(text + size - 8);
        } else if (size >= 4) {
            a = load32(text);
            b = load32(text + size - 4);
        } else {
            a = static_cast<unsigned char>(text[0]);
            b = (static_cast<std::uint64_t>(static_cast<unsigned char>(text[size / 2])) << 8) |
                static_cast<unsigned char>(text[size - 1]);
        }
        std::uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL) ^ size) * 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
        h *= 0x94D049BB133111EBULL;
        return h ^ (h >> 29);
    }
    // Whether the `size` bytes (1 to 32) at `a` and `b` are equal, with
    // overlapping word compares instead of a call.
    static bool same_bytes(const char* a, const char* b, std::size_t size) {
        if (size >= 8) {
            std::uint64_t diff = (scan::load64(a) ^ scan::load64(b)) |
                                 (scan::load64(a + size - 8) ^ scan::load64(b + size - 8));
            if (size > 16) {
                diff |= (scan::load64(a + 8) ^ scan::load64(b + 8)) |
                        (scan::load64(a + size - 16) ^ scan::load64(b + size - 16));
            }
            return diff == 0;
        }
        if (size >= 4) return ((load32(a) ^ load32(b)) | (load32(a + size - 4) ^ load32(b + size - 4))) == 0;
        return a[0] == b[0] && a[size / 2] == b[size / 2] && a[size - 1] == b[size - 1];
    }
    static std::uint64_t load32(const char* p) {
        std::uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    }
    // Doubles the table and places the keys again. It starts at 16 slots:
    // a call on a tiny document pays for clearing (and, at the end,
    // visiting) no more, and a big one doubles a few times.
    void grow() {
        const std::size_t capacity = capacity_ ? capacity_ * 2 : 16;
        std::unique_ptr<Slot[]> slots(new Slot[capacity]);
        for (std::size_t i = 0; i < capacity; ++i) slots[i].key = nullptr;
        for (std::size_t i = 0; i < capacity_; ++i) {
            const Slot& slot = slots_[i];
            if (slot.key == nullptr) continue;
            std::size_t j = static_cast<std::size_t>(hash(slot.bytes, slot.size)) & (capacity - 1);
            while (slots[j].key != nullptr) j = (j + 1) & (capacity - 1);
            slots[j] = slot;
        }
        slots_ = std::move(slots);
        capacity_ = capacity;
    }

    std::unique_ptr<Slot[]> slots_;
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
    std::vector<PyObject*> uncached_;
};

}  // namespace tabrix::py
