// Copying the input's lines to the output in the shuffled order.
#pragma once

#include "run_state.h"
#include "write_plan.h"

namespace line_shuffler {

// The plan for this run, from what the count learned and the output.
write_plan plan_for(const run_state& run);

// Writes every line to the output in the shuffled order, by the regions or
// by passes as the plan has it, and checks at the end that the input is
// still the one counted.
void write_shuffled_lines(run_state& run);

}  // namespace line_shuffler
