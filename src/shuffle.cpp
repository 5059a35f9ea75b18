// Drawing the random order of the input's lines.
#include <cstdlib>
#include <numeric>
#include <utility>

#include "random_draws.h"
#include "run_state.h"

namespace line_shuffler {

void swap_entries(line_number* a, line_number* b) noexcept {
    std::swap(*a, *b);
}

std::uint32_t draw_random() noexcept {
    return join_calls<RAND_MAX>([] { return std::rand(); });
}

void make_shuffle_order(run_state& run) {
    const std::size_t count = run.line_count;
    // Left uninitialised: every entry is set below.
    run.shuffle_order.reset(new line_number[count]);
    line_number* const order = run.shuffle_order.get();

    // The seed is the calendar second cut to 32 bits, so two runs in the
    // same second draw the same order.
    std::srand(static_cast<unsigned>(static_cast<std::uint32_t>(run.clock())));

    std::iota(order, order + count, line_number{1});
    shuffle_entries(std::span<line_number>{order, count}, draw_random);
}

}  // namespace line_shuffler
