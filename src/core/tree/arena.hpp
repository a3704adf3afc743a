// A bump allocator for text: strings are copied in once and never move, so
// tree nodes can hold plain pointers to them. Everything is freed at once.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tabrix {

class TextArena {
public:
    TextArena() = default;
    TextArena(TextArena&&) noexcept = default;
    TextArena& operator=(TextArena&&) noexcept = default;
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    // Room for `size` bytes; the caller fills them.
    char* allocate(std::size_t size) {
        if (size <= static_cast<std::size_t>(end_ - cursor_)) [[likely]] {
            last_dedicated_ = false;
            char* out = cursor_;
            cursor_ += size;
            return out;
        }
        return allocate_slow(size);
    }

    // Gives back the last `unused` bytes of the most recent allocation, so a
    // parser can reserve the worst case, unescape into it and keep what it used.
    void shrink_last(std::size_t unused) noexcept {
        if (!last_dedicated_) cursor_ -= unused;
    }

    const char* copy(std::string_view text) {
        if (text.empty()) return "";
        char* out = allocate(text.size());
        std::memcpy(out, text.data(), text.size());
        return out;
    }

    // Takes over the texts of `other`, which stay where they are; this
    // arena goes on allocating from its own chunk.
    void absorb(TextArena&& other) {
        if (chunks_.empty()) {
            *this = std::move(other);
            return;
        }
        for (std::unique_ptr<char[]>& chunk : other.chunks_) chunks_.push_back(std::move(chunk));
        other = TextArena();
    }

private:
    char* allocate_slow(std::size_t size) {
        if (size > next_chunk_ / 4) {
            // A large piece gets a chunk of its own; the current chunk goes on
            // serving small pieces.
            chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            last_dedicated_ = true;
            return chunks_.back().get();
        }
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(next_chunk_));
        cursor_ = chunks_.back().get();
        end_ = cursor_ + next_chunk_;
        if (next_chunk_ < (std::size_t{1} << 22)) next_chunk_ *= 2;
        last_dedicated_ = false;
        char* out = cursor_;
        cursor_ += size;
        return out;
    }

    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    std::size_t next_chunk_ = 4096;
    bool last_dedicated_ = false;
};

}  // namespace tabrix
