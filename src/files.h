// Opening and closing the run's two files, and the check that the input
// still says about itself what it said when opened.
#pragma once

#include "run_state.h"

namespace line_shuffler {

void open_input_file(run_state& run);
void open_output_file(run_state& run);
void close_input_file(run_state& run);
// Gives the finished output its name; the run is done only once it has.
void close_output_file(run_state& run);

// Throws input_changed unless the input still says about itself what it
// said when it was opened.
void check_input_unchanged(const run_state& run);

}  // namespace line_shuffler
