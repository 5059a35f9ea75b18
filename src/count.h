// Counting the input's lines: one read of the whole input, which also notes
// every line's length, the line end the last line gets, and the digest the
// writer checks its reads against.
#pragma once

#include "run_state.h"

namespace line_shuffler {

line_number count_lines(run_state& run);

}  // namespace line_shuffler
