// The lines of windows too small for a number, copied straight to their
// places in the output.
#pragma once

#include "run_state.h"
#include "write_plan.h"

namespace line_shuffler {

// Copies the lines of the windows too small for a number straight from the
// input to their places, if the plan makes any. Runs before the layout,
// while the slots hold lengths.
void copy_small_windows(run_state& run, const write_plan& plan);

}  // namespace line_shuffler
