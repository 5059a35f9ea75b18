// The writer's one way of reading the input: from its start, in order, a
// large read at a time, every line handed on as it comes. Every check that
// the input still holds what was counted is made here or in the read.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "newline_scan.h"
#include "run_state.h"

namespace line_shuffler {

[[noreturn]] inline void input_changed() {
    throw run_failure{failure::input_changed};
}

// Fills `into` from the input at `offset`. Fewer bytes than asked means the
// input is shorter than when it was counted.
inline void read_input_exactly(const run_state& run, std::span<char> into, std::uint64_t offset) {
    const platform::io_result got = run.input_file.read_at(into, offset);
    if (got < 0) {
        throw run_failure{failure::read_failed};
    }
    if (static_cast<std::size_t>(got) != into.size()) {
        input_changed();
    }
}

class line_walker {
public:
    line_walker(const run_state& run, std::span<char> buffer) : run_(run), buffer_(buffer) {}

    // Hands lines `first` to `last` (counting from 0) to take(line, piece),
    // in order and each in one or more pieces; line `first` starts at
    // `offset`. A line's last piece ends with its newline; the input's last
    // line has none, and the added line end follows it as a piece of its
    // own.
    template <typename taker>
    void walk(taker&& take, std::size_t last, std::size_t first = 0, std::uint64_t offset = 0) {
        const std::size_t final_line = run_.line_count - 1;
        std::size_t current_line_number = first;
        while (offset < run_.input_size) {
            const auto size =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), run_.input_size - offset));
            read_input_exactly(run_, buffer_.first(size), offset);
            const char* const bytes = buffer_.data();
            std::size_t start = 0;
            for (std::size_t stretch = 0; stretch < size; stretch += SCAN_STRIDE) {
                std::uint64_t mask = size - stretch >= SCAN_STRIDE ? newline_mask(bytes + stretch)
                                                                   : newline_mask(bytes + stretch, size - stretch);
                for (; mask != 0; mask &= mask - 1) {
                    if (current_line_number == final_line) {
                        input_changed();  // more newlines than were counted
                    }
                    const std::size_t end = stretch + static_cast<std::size_t>(std::countr_zero(mask)) + 1;
                    take(current_line_number, std::span<const char>{bytes + start, end - start});
                    start = end;
                    if (current_line_number++ == last) {
                        return;
                    }
                }
            }
            if (start < size) {
                take(current_line_number, std::span<const char>{bytes + start, size - start});
            }
            offset += size;
        }
        if (current_line_number != final_line) {
            input_changed();  // counted lines are gone
        }
        take(current_line_number, std::span<const char>{run_.added_line_end});
    }

private:
    const run_state& run_;
    std::span<char> buffer_;
};

}  // namespace line_shuffler
