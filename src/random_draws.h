// How the shuffle turns a C library's generator into draws and trades the
// order's entries, kept apart from rand() so that any generator width can be
// tried on any platform.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "prefetch.h"
#include "run_state.h"
#include "two_parts.h"

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

#if LINE_SHUFFLER_HAVE_THREADS
// The same trades, with the draws made in a second thread: a draw and its
// division take about as long as a trade, which waits for memory. The
// picks go through a ring of blocks, drawn some blocks ahead of the trades,
// in the same order as ever. False, with nothing done, where no thread can
// be had or the order is too short to be worth one.
//
// make_draws() is called once, on the drawing thread, and what it returns
// makes every draw: a generator whose state is the calling thread's own
// (msvcrt's rand()) is seeded there, where it draws.
template <typename draw_maker>
bool shuffle_entries_drawing_ahead(std::span<line_number> order, draw_maker&& make_draws) {
    static_assert(noexcept(make_draws()), "the drawing thread has nowhere to send a failure");
    constexpr std::size_t block_picks = 16384;
    constexpr std::size_t ring_blocks = 4;
    constexpr std::size_t ahead = 32;
    const std::size_t trades = order.size() - std::min<std::size_t>(order.size(), 1);
    if (trades < 2 * block_picks) {
        return false;
    }
    const std::size_t blocks = (trades + block_picks - 1) / block_picks;
    const std::unique_ptr<line_number[]> ring{new line_number[block_picks * ring_blocks]};
    std::atomic<std::size_t> drawn{0};
    std::atomic<std::size_t> traded{0};
    const auto picks_of = [&](std::size_t block) { return ring.get() + block % ring_blocks * block_picks; };
    const auto size_of = [&](std::size_t block) { return std::min(block_picks, trades - block * block_picks); };
    std::thread drawer;
    try {
        drawer = std::thread{[&] {
            auto draw = make_draws();
            std::size_t m = order.size() - 1;
            for (std::size_t block = 0; block < blocks; ++block) {
                while (block >= traded.load(std::memory_order_acquire) + ring_blocks) {
                    std::this_thread::yield();
                }
                line_number* const picks = picks_of(block);
                for (std::size_t i = 0, size = size_of(block); i < size; ++i, --m) {
                    picks[i] = static_cast<line_number>(draw() % (m + 1));
                }
                drawn.store(block + 1, std::memory_order_release);
            }
        }};
    } catch (const std::system_error&) {
        return false;
    }
    std::size_t n = order.size() - 1;
    for (std::size_t block = 0; block < blocks; ++block) {
        while (block >= drawn.load(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
        const line_number* const picks = picks_of(block);
        const std::size_t size = size_of(block);
        for (std::size_t i = 0; i < std::min(ahead, size); ++i) {
            prefetch(order.data() + picks[i]);
        }
        for (std::size_t i = 0; i < size; ++i, --n) {
            if (i + ahead < size) {
                prefetch(order.data() + picks[i + ahead]);
            }
            swap_entries(&order[n], &order[picks[i]]);
        }
        traded.store(block + 1, std::memory_order_release);
    }
    drawer.join();
    return true;
}
#endif

}  // namespace line_shuffler
