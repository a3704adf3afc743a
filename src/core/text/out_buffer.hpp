// One growing output buffer for a writer: raw appends with a single capacity
// check, no per-character virtual calls.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "core/spare.hpp"

namespace tabrix {

class OutBuffer {
public:
    OutBuffer() noexcept { take_spare(); }
    explicit OutBuffer(std::size_t capacity) {
        take_spare();
        reserve(capacity);
    }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    OutBuffer(OutBuffer&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    ~OutBuffer() { recycle(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const char* data() const noexcept { return data_; }
    std::string_view view() const noexcept { return {data_, size_}; }
    void clear() noexcept { size_ = 0; }

    void reserve(std::size_t capacity) {
        if (capacity > capacity_) reallocate(capacity);
    }
    // Makes room for `count` more bytes and returns where they go; the caller
    // writes at most `count` bytes and then calls commit with what it wrote.
    char* room(std::size_t count) {
        if (capacity_ - size_ < count) [[unlikely]] grow(count);
        return data_ + size_;
    }
    void commit(std::size_t count) noexcept { size_ += count; }

    void append(const char* bytes, std::size_t count) {
        if (capacity_ - size_ < count) [[unlikely]] grow(count);
        // An empty append may come with null pointers (an empty view, a
        // buffer not yet allocated), which memcpy must not be given.
        if (count != 0) [[likely]] std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void push(char byte) {
        if (size_ == capacity_) [[unlikely]] grow(1);
        data_[size_++] = byte;
    }
    void fill(char byte, std::size_t count) {
        char* out = room(count);
        if (count != 0) [[likely]] std::memset(out, byte, count);
        size_ += count;
    }
    char back() const noexcept { return data_[size_ - 1]; }
    void pop_back() noexcept { --size_; }

private:
    // The storage of a finished buffer is kept for the next buffer (up to a
    // bounded size), so that repeated writes do not fault in fresh pages
    // for every call.
    class Block {
    public:
        Block() = default;
        Block(char* data, std::size_t capacity) noexcept : data_(data), capacity_(capacity) {}
        Block(Block&& other) noexcept
            : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
        Block& operator=(Block&& other) noexcept {
            std::swap(data_, other.data_);
            std::swap(capacity_, other.capacity_);
            return *this;
        }
        ~Block() { std::free(data_); }

        std::size_t capacity_bytes() const noexcept { return capacity_; }
        void clear() noexcept {}
        // Hands the storage over to a buffer.
        char* release(std::size_t& capacity) noexcept {
            capacity = std::exchange(capacity_, 0);
            return std::exchange(data_, nullptr);
        }

    private:
        char* data_ = nullptr;
        std::size_t capacity_ = 0;
    };
    using BlockSpare = Spare<Block, std::size_t{8} << 20, struct OutBufferStorage>;

    void take_spare() noexcept { data_ = BlockSpare::take().release(capacity_); }
    void recycle() noexcept {
        BlockSpare::give(Block(data_, capacity_));
        data_ = nullptr;
        capacity_ = 0;
    }

    [[gnu::noinline]] void grow(std::size_t count) {
        std::size_t wanted = size_ + count;
        std::size_t doubled = capacity_ * 2;
        reallocate(wanted > doubled ? wanted : (doubled < 256 ? 256 : doubled));
    }
    void reallocate(std::size_t capacity) {
        void* data = std::realloc(data_, capacity);
        if (!data) throw std::bad_alloc();
        data_ = static_cast<char*>(data);
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tabrix
