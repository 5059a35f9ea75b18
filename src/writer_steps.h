// The writer's steps, each in a file of its own: the lines copied straight
// (small_windows.cpp), the layout of the output in regions and the first
// step that fills them (distribute.cpp), the second step that puts each
// region in order (region_order.cpp), and the passes for an output that
// can't hold regions (passes.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "run_state.h"
#include "write_plan.h"

namespace line_shuffler {

// A window with a number: output lines first_line to first_line + lines - 1
// (counting from 0), which fill the bytes start to start + bytes - 1 of the
// output, its region.
//
// The first step may run in two parts, each reading half of the input, and
// each region gets the first part's lines first: first_part_bytes and
// first_part_lines tell how much of the region that is.
struct region_window {
    std::uint64_t start = 0;
    std::uint64_t bytes = 0;
    std::uint64_t first_part_bytes = 0;
    std::uint32_t first_line = 0;
    std::uint32_t lines = 0;
    std::uint32_t first_part_lines = 0;
};
static_assert(sizeof(region_window) <= WINDOW_ENTRY_BYTES, "the plan counts the windows' table at its size");

// The output cut into windows of consecutive output lines, in output order;
// those too small for a number, which are copied straight, lie between the
// numbered ones and are not listed. Lines from split_line on (starting at
// split_offset in the input) go to the first step's second part.
struct region_layout {
    std::vector<region_window> windows;
    std::size_t split_line = 0;
    std::uint64_t split_offset = 0;
    std::uint64_t copied_bytes = 0;  // in the windows without a number
    std::uint64_t output_bytes = 0;
};

// The plan for this run, from what the count learned and the output.
write_plan plan_for(const run_state& run);

// Copies the lines of the windows too small for a number straight from the
// input to their places, if the plan makes any. Runs before the layout,
// while the slots hold lengths.
void copy_small_windows(run_state& run, const write_plan& plan);

// Cuts the order into windows as the plan sizes them, numbers those of
// enough lines, and turns every line's slot from its length into its
// window's number, or NO_WINDOW.
region_layout lay_out_regions(run_state& run, const write_plan& plan);

// Reads the input once and appends every line of a numbered window to its
// window's region, in input order; every such line's slot becomes its place
// among its window's lines.
void distribute_lines(run_state& run, const write_plan& plan, const region_layout& layout);

// Reads every region back, puts its lines in output order and writes them
// over it.
void order_regions(run_state& run, const write_plan& plan, const region_layout& layout);

// The way for an output that takes its lines in order, once: a pass over the
// input for each window.
void write_in_passes(run_state& run, const write_plan& plan);

// Whether a window that holds `lines` lines at `cost` bytes (their bytes
// and index) must close before a line of `length` bytes: regions and passes
// cut the order alike.
inline bool window_is_full(const write_plan& plan, std::uint64_t cost, std::uint64_t lines, std::uint64_t length) {
    return lines > 0 && (cost + length + WINDOW_BYTES_PER_LINE > plan.window_bytes || lines == plan.window_lines);
}

// The output length of line `index` (counting from 0): its length in the
// input, and the added line end for the last line.
inline std::uint64_t output_length(const run_state& run, std::size_t index) {
    const std::uint64_t length = run.lengths[index];
    return index + 1 == run.line_count ? length + run.added_line_end.size() : length;
}

// Walks the order, while the slots hold lengths, as the windows cut it:
// line(index, length) for every line, and window(first, end, bytes) for
// every window, with its first position in the order and the one past its
// last, before the next window's first line.
template <typename line_taker, typename window_taker>
void walk_windows(const run_state& run, const write_plan& plan, line_taker&& line, window_taker&& window) {
    const line_lengths& lengths = run.lengths;
    const line_number* const order = run.shuffle_order.get();
    const std::size_t count = run.line_count;
    // The lengths are met in output order, at random places: each is
    // fetched a few lines ahead, and a long line's low bits, which its slot
    // and its word lead to, fewer lines ahead.
    constexpr std::size_t ahead = 16;
    constexpr std::size_t low_bits_ahead = 8;
    std::size_t first = 0;
    std::uint64_t cost = 0;  // the window's bytes and index
    std::uint64_t bytes = 0;
    for (std::size_t position = 0; position < count; ++position) {
        if (position + ahead < count) {
            lengths.prefetch(order[position + ahead] - 1);
        }
        if (position + low_bits_ahead < count) {
            lengths.prefetch_low_bits(order[position + low_bits_ahead] - 1);
        }
        const std::size_t index = order[position] - 1;
        const std::uint64_t length = output_length(run, index);
        if (window_is_full(plan, cost, position - first, length)) {
            window(first, position, bytes);
            first = position;
            cost = bytes = 0;
        }
        cost += length + WINDOW_BYTES_PER_LINE;
        bytes += length;
        line(index, length);
    }
    window(first, count, bytes);
}

// Whether the window from `first` to `end` (in output order) gets a number
// and a region of its own; the last always does.
inline bool window_is_numbered(const run_state& run, const write_plan& plan, std::size_t first, std::size_t end) {
    return end - first >= plan.least_window_lines || end == run.line_count;
}

}  // namespace line_shuffler
