// An array grown by realloc, for the run's tables a line: a large block
// moves by having its pages remapped rather than copied, so growing never
// holds two copies resident; pages reserved but not yet written cost
// nothing. A block may change hands between tables of different entries
// (the order's block becomes the lengths' once the order is put aside), so
// that its pages, resident already, are not touched afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "platform.h"

namespace line_shuffler {

template <typename value>
class grown_array {
    static_assert(std::is_trivially_copyable_v<value>);

public:
    value* data() noexcept { return data_.get(); }
    const value* data() const noexcept { return data_.get(); }
    value& operator[](std::size_t index) noexcept { return data_.get()[index]; }
    const value& operator[](std::size_t index) const noexcept { return data_.get()[index]; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::uint64_t bytes() const noexcept { return std::uint64_t{capacity_} * sizeof(value); }

    // Room for `capacity` entries, the first ones kept; throws std::bad_alloc.
    void resize(std::size_t capacity) {
        if (capacity == 0) {
            reset();
            return;
        }
        const bool fresh = data_ == nullptr;
        void* moved = std::realloc(data_.get(), capacity * sizeof(value));
        if (moved == nullptr) {
            throw std::bad_alloc{};
        }
        (void)data_.release();
        data_.reset(static_cast<value*>(moved));
        capacity_ = capacity;
        // A block made whole at once; one that grows step by step is moved
        // by remapping, which large pages would make split.
        if (fresh) {
            platform::use_large_pages(moved, capacity * sizeof(value));
        }
    }

    // As resize, for giving back: a failure keeps the block as it was.
    void shrink(std::size_t capacity) noexcept {
        if (capacity >= capacity_) {
            return;
        }
        if (capacity == 0) {
            reset();
        } else if (void* moved = std::realloc(data_.get(), capacity * sizeof(value))) {
            (void)data_.release();
            data_.reset(static_cast<value*>(moved));
            capacity_ = capacity;
        }
    }

    // Takes over the block of `other`, which is left empty, as room for
    // `capacity` entries of this array's kind, no more bytes than it had:
    // the pages that stay were resident and are not touched afresh, those
    // past them are given back.
    template <typename other_value>
    void take_block(grown_array<other_value>& other, std::size_t capacity) noexcept {
        reset();
        void* block = other.data_.release();
        const std::uint64_t had = std::exchange(other.capacity_, 0) * sizeof(other_value);
        if (block == nullptr || capacity == 0 || capacity * sizeof(value) > had) {
            std::free(block);
            return;
        }
        void* kept = std::realloc(block, capacity * sizeof(value));
        data_.reset(static_cast<value*>(kept != nullptr ? kept : block));
        capacity_ = kept != nullptr ? capacity : static_cast<std::size_t>(had / sizeof(value));
    }

    void reset() noexcept {
        data_.reset();
        capacity_ = 0;
    }

private:
    template <typename>
    friend class grown_array;

    struct free_block {
        void operator()(value* p) const noexcept { std::free(p); }
    };

    std::unique_ptr<value, free_block> data_;
    std::size_t capacity_ = 0;
};

}  // namespace line_shuffler
