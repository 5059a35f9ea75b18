// The second step: every region put in output order in place.
#pragma once

#include "distribute.h"
#include "run_state.h"
#include "window_slots.h"
#include "write_plan.h"

namespace line_shuffler {

// Reads every region back, puts its lines in output order (each line's
// place in its region from `places`) and writes them over it.
void order_regions(run_state& run, const write_plan& plan, const region_layout& layout, const window_places& places);

}  // namespace line_shuffler
