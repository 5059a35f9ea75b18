// The way for an output that takes its lines in order, once.
#pragma once

#include "run_state.h"
#include "write_plan.h"

namespace line_shuffler {

// The way for an output that takes its lines in order, once: a pass over the
// input for each window.
void write_in_passes(run_state& run, const write_plan& plan);

}  // namespace line_shuffler
