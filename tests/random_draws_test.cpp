// Joining a generator's calls into the shuffle's draws, tried with
// generators of other C libraries' widths, whatever rand() is here.
#include <cstdint>
#include <functional>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "msvcrt_rand.h"
#include "random_draws.h"

namespace line_shuffler {
namespace {

using testing::msvcrt_rand;

// A stand-in for any generator of `bits` bits a call, built from a 64-bit
// generator's high bits.
template <int bits>
struct fake_generator {
    std::uint64_t state;
    int calls = 0;
    int operator()() {
        ++calls;
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<int>(state >> (64 - bits));
    }
};

// How often each of the 31 bits is set over many draws.
template <unsigned max_value, typename generator>
std::vector<int> bit_counts(generator& next, int draws) {
    std::vector<int> counts(32, 0);
    for (int i = 0; i < draws; ++i) {
        const std::uint32_t value = join_calls<max_value>(next);
        for (int bit = 0; bit < 32; ++bit) {
            counts[static_cast<std::size_t>(bit)] += static_cast<int>((value >> bit) & 1U);
        }
    }
    return counts;
}

// Every one of the 31 bits is set in about half of the draws and bit 31
// never: overlapping calls would set bits too often, a lost call never.
void expect_31_fair_bits(const std::vector<int>& counts, int draws) {
    for (int bit = 0; bit < 31; ++bit) {
        EXPECT_GT(counts[static_cast<std::size_t>(bit)], draws * 45 / 100) << "bit " << bit;
        EXPECT_LT(counts[static_cast<std::size_t>(bit)], draws * 55 / 100) << "bit " << bit;
    }
    EXPECT_EQ(counts[31], 0);
}

TEST(join_calls_test, fifteen_bit_calls_fill_all_31_bits_fairly) {
    constexpr int draws = 20'000;
    msvcrt_rand next{12345U};
    expect_31_fair_bits(bit_counts<0x7fffU>(next, draws), draws);
}

TEST(join_calls_test, generators_of_other_widths_fill_all_31_bits_fairly) {
    constexpr int draws = 20'000;
    fake_generator<16> sixteen{1};
    expect_31_fair_bits(bit_counts<0xffffU>(sixteen, draws), draws);
    EXPECT_EQ(sixteen.calls, 2 * draws);
    fake_generator<24> twenty_four{2};
    expect_31_fair_bits(bit_counts<0xffffffU>(twenty_four, draws), draws);
    EXPECT_EQ(twenty_four.calls, 2 * draws);
}

TEST(join_calls_test, a_31_bit_generator_gives_each_draw_from_one_call_unchanged) {
    // So the orders drawn where rand() has 31 bits stay as they always were.
    fake_generator<31> next{3};
    fake_generator<31> same{3};
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(join_calls<0x7fffffffU>(next), static_cast<std::uint32_t>(same()));
    }
    EXPECT_EQ(next.calls, 1000);
}

// The entry that ends up last in a shuffle of `count` lines.
template <typename draw_function>
std::uint32_t last_entry(std::uint32_t count, draw_function&& draw) {
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 1U);
    shuffle_entries(order, draw);
    return order.back();
}

TEST(join_calls_test, a_15_bit_generator_can_put_any_of_100000_lines_last) {
    constexpr std::uint32_t count = 100'000;
    constexpr int seeds = 200;
    int beyond_15_bits = 0;
    std::uint32_t lowest = count;
    std::uint32_t highest = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
        msvcrt_rand next{static_cast<std::uint32_t>(seed)};
        const std::uint32_t last = last_entry(count, [&] { return join_calls<0x7fffU>(next); });
        beyond_15_bits += last > 32'768 ? 1 : 0;
        lowest = std::min(lowest, last);
        highest = std::max(highest, last);
    }
    // About two thirds of the lines lie beyond 32,768; 200 seeds give 134 on
    // average, and fewer than 110 hardly ever.
    EXPECT_GT(beyond_15_bits, 110);
    EXPECT_LT(lowest, 5'000U);
    EXPECT_GT(highest, 95'000U);

    // The fault this guards against: one 15-bit call per draw keeps every
    // line past 32,768 from ever coming last.
    for (int seed = 1; seed <= 20; ++seed) {
        msvcrt_rand next{static_cast<std::uint32_t>(seed)};
        EXPECT_LE(last_entry(count, next), 32'768U);
    }
}

#if LINE_SHUFFLER_HAVE_THREADS
// msvcrt's rand(), whose state is each thread's own and starts as if
// seeded with 1 on a new thread: a drawing thread that isn't seeded itself
// draws another order.
thread_local msvcrt_rand thread_generator{1U};

struct thread_draws {
    std::optional<std::thread::id> drawn_on;
    bool from_one_thread = true;
    std::uint32_t operator()() {
        from_one_thread = from_one_thread && drawn_on == std::this_thread::get_id();
        return join_calls<0x7fffU>(thread_generator);
    }
};

TEST(drawing_ahead_test, a_thread_seeded_where_it_draws_gives_the_one_thread_order_at_the_ring_edges) {
    constexpr unsigned seed = 20'260'101;
    constexpr std::size_t block = 16'384;
    // One trade short of two blocks (too few for a thread), two blocks, the
    // whole ring of four, the ring and one trade, five blocks and one.
    for (const std::size_t trades : {2 * block - 1, 2 * block, 4 * block, 4 * block + 1, 5 * block + 1}) {
        std::vector<line_number> expected(trades + 1);
        std::iota(expected.begin(), expected.end(), 1U);
        const std::vector<line_number> unshuffled = expected;
        std::vector<line_number> order = expected;
        thread_generator = msvcrt_rand{seed};
        shuffle_entries(expected, [] { return join_calls<0x7fffU>(thread_generator); });

        // The caller's generator is seeded too: a drawing thread that
        // borrowed it would draw the right numbers on the wrong thread.
        thread_generator = msvcrt_rand{seed};
        thread_draws draws;
        const bool drawn_ahead = shuffle_entries_drawing_ahead(order, [&]() noexcept {
            thread_generator = msvcrt_rand{seed};
            draws.drawn_on = std::this_thread::get_id();
            return std::ref(draws);
        });
        if (trades < 2 * block) {
            EXPECT_FALSE(drawn_ahead) << trades << " trades";
            EXPECT_EQ(order, unshuffled) << "left as it was";
            EXPECT_FALSE(draws.drawn_on.has_value());
            continue;
        }
        ASSERT_TRUE(drawn_ahead) << trades << " trades";
        EXPECT_NE(draws.drawn_on, std::this_thread::get_id()) << trades << " trades";
        EXPECT_TRUE(draws.from_one_thread) << trades << " trades";
        EXPECT_EQ(order, expected) << trades << " trades";
    }
}
#endif

}  // namespace
}  // namespace line_shuffler
