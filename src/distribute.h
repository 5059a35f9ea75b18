// The layout of the output in regions, and the first step that fills them
// with their windows' lines in input order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "run_state.h"
#include "window_slots.h"
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
//
// A layout made in two parts numbers the second half's windows down from
// NO_WINDOW - 1, since that part can't know how many the first will have;
// window_at turns a line's number into its window's place in `windows`.
struct region_layout {
    std::vector<region_window> windows;
    std::size_t split_line = 0;
    std::uint64_t split_offset = 0;
    std::uint64_t copied_bytes = 0;  // in the windows without a number
    std::uint64_t output_bytes = 0;
    std::size_t first_half_windows = 0;

    std::size_t window_at(std::size_t number) const noexcept {
        return number < first_half_windows ? number
                                           : first_half_windows + (static_cast<std::size_t>(NO_WINDOW - 1) - number);
    }
};

// The layout, and every line's window in it.
struct laid_out_regions {
    region_layout layout;
    window_numbers numbers;
};

// Cuts the order into windows as the plan sizes them, numbers those of
// enough lines, and turns every line's slot from its length into its
// window's number, or NO_WINDOW: the lengths are gone afterwards.
laid_out_regions lay_out_regions(run_state& run, const write_plan& plan);

// Reads the input once and appends every line of a numbered window to its
// window's region, in input order; every such line's slot becomes its place
// among its window's lines.
window_places distribute_lines(run_state& run, const write_plan& plan, const region_layout& layout,
                               window_numbers&& numbers);

}  // namespace line_shuffler
