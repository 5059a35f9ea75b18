// Putting the run's tables a line aside in the scratch space in turn, so
// that memory holds no more than the order's 4 bytes a line at any time:
// the lengths go aside while the order is drawn, then the order goes aside
// and the lengths come back into its block, where each line's length gives
// way to its window and then its place in the window.
#pragma once

#include <cstddef>
#include <span>

#include "run_state.h"

namespace line_shuffler {

// Before the draw. Chooses the scratch space: past the output's bytes in
// the work file where the output is sorted in regions, else a file of its
// own; where there is none, the lengths stay in memory.
void put_lengths_aside(run_state& run);

// After the draw, before the writer plans: the order goes aside, and the
// lengths come back into its block. Lengths never put aside stay; an order
// without scratch space stays in memory.
void put_order_aside(run_state& run);

// The order's entries at positions `first` to `end` - 1, read into `room`
// (which must hold them) where the order is aside, and in place where it
// is in memory.
std::span<const line_number> order_entries(const run_state& run, std::size_t first, std::size_t end,
                                           std::span<line_number> room);

// Gives the scratch space back before the output is named.
void release_scratch(run_state& run);

}  // namespace line_shuffler
