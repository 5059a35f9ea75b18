// How the shuffle turns a C library's generator into draws and trades the
// order's entries, kept apart from rand() so that any generator width can be
// tried on any platform.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>

#include "prefetch.h"
#include "run_state.h"

namespace line_shuffler {

// One draw of 31 random bits from a generator whose calls each give every
// value in 0..max_value equally often, as rand() does up to RAND_MAX.
// Where one call gives 31 bits it is the whole draw. Narrower calls (15 bits
// on some C libraries) are joined, the first call's bits highest, until 31
// bits are filled: a single 15-bit call would leave every line past the
// 32,768th unable to move to the end of a large file.
template <unsigned max_value, typename generator>
std::uint32_t join_calls(generator&& next) {
    static_assert((max_value & (max_value + 1)) == 0 && max_value > 0,
                  "the calls' range must be a whole number of bits");
    constexpr int bits_per_call = std::bit_width(max_value);
    if constexpr (bits_per_call >= 31) {
        return static_cast<std::uint32_t>(next());
    } else {
        std::uint32_t value = 0;
        for (int bits = 0; bits < 31; bits += bits_per_call) {
            value = (value << bits_per_call) | static_cast<std::uint32_t>(next());
        }
        return value & 0x7fffffffU;
    }
}

inline void swap_entries(line_number* a, line_number* b) noexcept {
    std::swap(*a, *b);
}

// Fisher-Yates from the end: entry n trades places with entry
// draw() % (n + 1), for n from the last entry down to 1.
//
// On a large order every trade would wait for memory at a random entry. The
// draws don't depend on the entries, so they are made some steps ahead, in
// the same order as ever, and the entries they pick are fetched meanwhile.
template <typename draw_function>
void shuffle_entries(std::span<line_number> order, draw_function&& draw) {
    constexpr std::size_t ahead = 32;
    std::array<line_number, ahead> picks{};
    std::size_t undrawn = order.size();  // the next pick is drawn for undrawn - 1
    for (std::size_t n = order.size(); n-- > 1;) {
        while (undrawn > 1 && undrawn - 1 + ahead > n) {
            const std::size_t m = --undrawn;
            const auto pick = static_cast<line_number>(draw() % (m + 1));
            picks[m % ahead] = pick;
            prefetch(order.data() + pick);
        }
        swap_entries(&order[n], &order[picks[n % ahead]]);
    }
}

}  // namespace line_shuffler
