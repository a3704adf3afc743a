// Storage kept between calls. A load or dump that finishes hands its big
// buffers (tree nodes, output bytes, a document's tables, a parser's copy of
// its text) back here, and the thread's next call of the same kind takes
// them again, so that repeated calls do not fault in fresh pages every time.
// Each thread keeps its own: nothing here is shared between threads.
#pragma once

#include <cstddef>
#include <utility>

namespace tabrix {

// What a storage holds, in bytes: a std::vector's or std::string's capacity,
// or the `capacity_bytes()` of a storage type of our own.
template <class Storage>
std::size_t storage_bytes(const Storage& storage) noexcept {
    if constexpr (requires { storage.capacity_bytes(); }) {
        return storage.capacity_bytes();
    } else {
        return storage.capacity() * sizeof(typename Storage::value_type);
    }
}

// One kind of kept storage. `Storage` is default-constructible (empty),
// swappable and has clear(), which keeps the capacity; a thread keeps one
// storage of the kind, the biggest it has given back up to `kKeepBytes`.
// `Tag` tells apart two kinds with the same storage type.
template <class Storage, std::size_t kKeepBytes, class Tag>
class Spare {
public:
    // The thread's kept storage (or an empty one), cleared.
    static Storage take() noexcept {
        Storage storage;
        using std::swap;
        swap(storage, slot());
        storage.clear();
        return storage;
    }

    // Keeps `storage` for the thread's next take() if it is no bigger than
    // kKeepBytes and bigger than what the thread keeps already.
    static void give(Storage&& storage) noexcept {
        const std::size_t bytes = storage_bytes(storage);
        Storage& kept = slot();
        if (bytes <= kKeepBytes && bytes > storage_bytes(kept)) {
            using std::swap;
            swap(kept, storage);
        }
    }

private:
    static Storage& slot() noexcept {
        thread_local Storage kept;
        return kept;
    }
};

}  // namespace tabrix
