#include "support.h"

#include "run_state.h"
#include "shuffle.h"

#include <memory>

namespace line_shuffler::testing {

std::vector<line_number> order_drawn_in(line_number line_count, std::int64_t seconds, unsigned parts) {
    fixed_seconds = seconds;
    auto run = std::make_unique<run_state>();
    run->limits.parts = parts;
    run->clock = fixed_clock;
    run->line_count = line_count;
    make_shuffle_order(*run);
    return {run->shuffle_order.data(), run->shuffle_order.data() + line_count};
}

}  // namespace line_shuffler::testing
