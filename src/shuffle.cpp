// Drawing the random order of the input's lines.
#include <cstdlib>
#include <utility>

#include "random_draws.h"
#include "run_state.h"

namespace line_shuffler {

void swap_entries(std::uint32_t* a, std::uint32_t* b) noexcept {
    std::swap(*a, *b);
}

std::uint32_t draw_random() noexcept {
    return join_calls<RAND_MAX>([] { return std::rand(); });
}

void make_shuffle_order(run_state& run) {
    const auto count = static_cast<std::size_t>(run.line_count);
    void* entries = std::calloc(count, sizeof(std::uint32_t));
    if (entries == nullptr) {
        throw run_failure{failure::out_of_memory};
    }
    run.shuffle_order.reset(static_cast<std::uint32_t*>(entries));
    std::uint32_t* const order = run.shuffle_order.get();

    // The seed is the calendar second cut to 32 bits, so two runs in the
    // same second draw the same order.
    std::srand(static_cast<unsigned>(static_cast<std::uint32_t>(run.clock())));

    for (std::size_t i = 0; i < count; ++i) {
        order[i] = static_cast<std::uint32_t>(i + 1);
    }
    shuffle_entries(std::span<std::uint32_t>{order, count}, draw_random);
}

}  // namespace line_shuffler
