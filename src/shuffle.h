// Drawing the random order of the input's lines.
#pragma once

#include <cstdint>

#include "run_state.h"

namespace line_shuffler {

// Fills run.shuffle_order with a random order of the run.line_count lines,
// seeded from run.clock, having put the lengths aside for the while.
void make_shuffle_order(run_state& run);

// One draw of the generator as the shuffle uses it: 31 random bits,
// from as many rand() calls as that takes on this C library.
std::uint32_t draw_random() noexcept;

}  // namespace line_shuffler
