// Every input line's length, learned while counting, in 2 bytes a line.
//
// The writer lays the output out from them before it reads a line: each
// window of output lines gets its own region of the output file, as long
// as its lines are. A length that 2 bytes can't hold (64 KiB or more) is
// kept beside the slots, in a table sorted by line; such lines are rare,
// and each holds at least 64 KiB of the file.
//
// Once the layout is made, the writer needs the lengths no more and reuses
// the slots for other numbers a line: its window, then its place in the
// window. That is why the slots are open to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace line_shuffler {

class line_lengths {
public:
    using slot = std::uint16_t;
    static constexpr slot ESCAPED = 0xFFFF;

    // Forgets every length; allocates nothing.
    void clear() noexcept;

    // The length of the next line; throws std::bad_alloc.
    void add(std::uint64_t length) {
        if (size_ == capacity_) {
            grow();
        }
        if (length >= ESCAPED) {
            escaped_.push_back({size_, length});
            slots_.get()[size_++] = ESCAPED;
        } else {
            slots_.get()[size_++] = static_cast<slot>(length);
        }
    }

    // Gives back what growing reserved and was not used.
    void shrink_to_fit() noexcept;

    std::size_t size() const noexcept { return size_; }

    // The length of line `index` (from 0), while the slots hold lengths.
    std::uint64_t operator[](std::size_t index) const noexcept {
        const slot value = slots_.get()[index];
        return value == ESCAPED ? escaped_length(index) : value;
    }

    // What the lengths hold resident.
    std::uint64_t memory_bytes() const noexcept {
        return std::uint64_t{capacity_} * sizeof(slot) + escaped_.capacity() * sizeof(escaped_line);
    }

    std::span<slot> slots() noexcept { return {slots_.get(), size_}; }
    std::span<const slot> slots() const noexcept { return {slots_.get(), size_}; }

private:
    struct escaped_line {
        std::size_t index;
        std::uint64_t length;
    };
    struct free_slots {
        void operator()(slot* p) const noexcept { std::free(p); }
    };

    void grow();
    std::uint64_t escaped_length(std::size_t index) const noexcept;

    std::unique_ptr<slot[], free_slots> slots_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::vector<escaped_line> escaped_;
};

}  // namespace line_shuffler
