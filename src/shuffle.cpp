// Drawing the random order of the input's lines.
#include <bit>
#include <climits>
#include <cstdlib>
#include <utility>

#include "run_state.h"

namespace line_shuffler {

void swap_entries(std::uint32_t* a, std::uint32_t* b) noexcept {
    std::swap(*a, *b);
}

std::uint32_t draw_random() noexcept {
    // Where rand() gives 31 bits, one call is one draw. Narrower generators
    // (15 bits on some C libraries) would leave most orders of a large file
    // unreachable, so their calls are joined until 31 bits are filled.
    constexpr int bits_per_call = std::bit_width(static_cast<unsigned>(RAND_MAX));
    if constexpr (bits_per_call >= 31) {
        return static_cast<std::uint32_t>(std::rand());
    } else {
        std::uint32_t value = 0;
        for (int bits = 0; bits < 31; bits += bits_per_call) {
            value = (value << bits_per_call) | static_cast<std::uint32_t>(std::rand());
        }
        return value & 0x7fffffffU;
    }
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
    // Fisher-Yates from the end: entry n trades places with one of 0..n.
    for (std::int32_t n = run.line_count - 1; n > 0; --n) {
        const std::uint32_t j = draw_random() % (static_cast<std::uint32_t>(n) + 1);
        swap_entries(&order[n], &order[j]);
    }
}

}  // namespace line_shuffler
