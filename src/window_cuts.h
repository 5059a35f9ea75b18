// How the writer cuts the order into windows of consecutive output lines,
// each of which fits in memory: the regions and the passes cut it alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "aside.h"
#include "run_state.h"
#include "write_plan.h"

namespace line_shuffler {

// Whether a window that holds `lines` lines at `cost` bytes (their bytes
// and index) must close before a line of `length` bytes: regions and passes
// cut the order alike.
inline bool window_is_full(const write_plan& plan, std::uint64_t cost, std::uint64_t lines, std::uint64_t length) {
    return lines > 0 && (cost + length + plan.line_bytes > plan.window_bytes || lines == plan.window_lines);
}

// The output length of line `index` (counting from 0): its length in the
// input, and the added line end for the last line.
inline std::uint64_t output_length(const run_state& run, std::size_t index) {
    const std::uint64_t length = run.lengths[index];
    return index + 1 == run.line_count ? length + run.added_line_end.size() : length;
}

// Where the layout's second part starts in the order, when the regions
// are laid out in two parts: a window always ends there, so that each part
// can cut its half alone, and every walk of the regions' windows cuts there
// too. The order's end (no cut) for one part and for the passes.
inline std::size_t layout_halves_meet(const run_state& run, const write_plan& plan) {
    return plan.path == write_path::regions && plan.parts > 1 ? run.line_count / 2 : run.line_count;
}

// Walks the order from position `from` to `to`, while the slots hold
// lengths, as the windows cut it: line(index, length) for every line, and
// window(first, end, bytes) for every window, with its first position in
// the order and the one past its last, before the next window's first
// line. A walk starts a window at `from`; walks that start where the
// layout's halves meet, or at 0, and end there or at the order's end cut
// the order alike.
template <typename line_taker, typename window_taker>
void walk_windows(const run_state& run, const write_plan& plan, line_taker&& line, window_taker&& window,
                  std::size_t from = 0, std::size_t to = static_cast<std::size_t>(-1)) {
    const line_lengths& lengths = run.lengths;
    const std::size_t end = std::min<std::size_t>(to, run.line_count);
    const std::size_t cut = layout_halves_meet(run, plan);
    // The order is read a piece at a time where it is aside.
    constexpr std::size_t PIECE_ENTRIES = std::size_t{16} << 10;
    const std::unique_ptr<line_number[]> room{new line_number[PIECE_ENTRIES]};
    // The lengths are met in output order, at random places: each is
    // fetched a few lines ahead, and a long line's low bits, which its slot
    // and its word lead to, fewer lines ahead.
    constexpr std::size_t ahead = 16;
    constexpr std::size_t low_bits_ahead = 8;
    std::size_t first = from;
    std::uint64_t cost = 0;  // the window's bytes and index
    std::uint64_t bytes = 0;
    for (std::size_t piece_start = from; piece_start < end; piece_start += PIECE_ENTRIES) {
        const std::span<const line_number> piece =
            order_entries(run, piece_start, std::min(end, piece_start + PIECE_ENTRIES), {room.get(), PIECE_ENTRIES});
        for (std::size_t i = 0; i < piece.size(); ++i) {
            if (i + ahead < piece.size()) {
                lengths.prefetch(line_index(piece[i + ahead]));
            }
            if (i + low_bits_ahead < piece.size()) {
                lengths.prefetch_low_bits(line_index(piece[i + low_bits_ahead]));
            }
            const std::size_t position = piece_start + i;
            const std::size_t index = line_index(piece[i]);
            const std::uint64_t length = output_length(run, index);
            if (window_is_full(plan, cost, position - first, length) || (position == cut && position > first)) {
                window(first, position, bytes);
                first = position;
                cost = bytes = 0;
            }
            cost += length + plan.line_bytes;
            bytes += length;
            line(index, length);
        }
    }
    window(first, end, bytes);
}

// Whether the window from `first` to `end` (in output order) gets a number
// and a region of its own; the last always does.
inline bool window_is_numbered(const run_state& run, const write_plan& plan, std::size_t first, std::size_t end) {
    return end - first >= plan.least_window_lines || end == run.line_count;
}

}  // namespace line_shuffler
