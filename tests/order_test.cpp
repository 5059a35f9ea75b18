// Drawing the shuffle order.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <set>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include "shuffle.h"
#include "support.h"

namespace line_shuffler {
namespace {

using testing::order_drawn_in;

TEST(shuffle_order_test, is_a_permutation_of_the_line_numbers) {
    for (const line_number count : {1U, 2U, 3U, 10U, 1000U, 65537U}) {
        std::vector<line_number> order = order_drawn_in(count, 1'700'000'000 + count);
        std::sort(order.begin(), order.end());
        std::vector<line_number> expected(count);
        std::iota(expected.begin(), expected.end(), 1U);
        EXPECT_EQ(order, expected) << count << " lines";
    }
}

TEST(shuffle_order_test, same_second_same_order_and_other_seconds_differ) {
    EXPECT_EQ(order_drawn_in(500, 1234), order_drawn_in(500, 1234));
    EXPECT_NE(order_drawn_in(500, 1234), order_drawn_in(500, 1235));
}

TEST(shuffle_order_test, seed_is_the_low_32_bits_of_the_second) {
    const std::int64_t low = 0x12345678;
    EXPECT_EQ(order_drawn_in(100, low), order_drawn_in(100, (std::int64_t{7} << 32) | low));
}

TEST(shuffle_order_test, follows_the_fisher_yates_loop_draw_for_draw) {
    // Same seed, same C library: the same draws must give the same order
    // as swapping entry n with entry rand() % (n + 1), n from the end,
    // however the shuffle reaches the generator, and whether the draws are
    // made on a thread of their own (past a few blocks of them, the last
    // whole or not) or not. On Windows rand()'s state is each thread's
    // own: the drawing thread must be seeded as this one is.
    for (const auto& [count, seed] : {std::pair{257U, 4242U}, std::pair{200'000U, 0U}, std::pair{65'537U, 0xffffffffU},
                                      std::pair{65'538U, 9U}, std::pair{32'769U, 7U}, std::pair{81'922U, 8U}}) {
        std::vector<line_number> expected(count);
        std::iota(expected.begin(), expected.end(), 1U);
        std::srand(seed);
        for (line_number n = count - 1; n > 0; --n) {
            const line_number j = draw_random() % (n + 1);
            std::swap(expected[n], expected[j]);
        }
        for (const unsigned parts : {1U, 2U}) {
            EXPECT_EQ(order_drawn_in(count, seed, parts), expected) << count << " lines, seed " << seed;
        }
    }
}

TEST(shuffle_order_test, one_line_draws_nothing) {
    order_drawn_in(1, 99);
    const std::uint32_t after_shuffle = draw_random();
    std::srand(99U);
    EXPECT_EQ(after_shuffle, draw_random());
}

TEST(shuffle_order_test, three_lines_reach_all_six_orders) {
    // A near miss (drawing from 0..n-1, or from the whole array) would
    // never give some orders, or give none that keeps a line in place.
    std::set<std::vector<std::uint32_t>> seen;
    bool fixed_point = false;
    for (std::int64_t second = 0; second < 200; ++second) {
        const auto order = order_drawn_in(3, second);
        seen.insert(order);
        for (std::uint32_t i = 0; i < 3; ++i) {
            fixed_point = fixed_point || order[i] == i + 1;
        }
    }
    EXPECT_EQ(seen.size(), 6U);
    EXPECT_TRUE(fixed_point);
}

TEST(shuffle_order_test, each_draw_has_31_random_bits) {
    std::uint32_t seen_bits = 0;
    std::srand(7U);
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t value = draw_random();
        ASSERT_LE(value, 0x7fffffffU);
        seen_bits |= value;
    }
    EXPECT_EQ(seen_bits, 0x7fffffffU);
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
// The largest count's order takes 8 GiB, past the address space allowed
// here for a moment: it must fail as every other allocation does.
TEST(shuffle_order_test, running_out_of_memory_is_a_bad_alloc_like_any_allocation) {
    run_state run;
    run.line_count = static_cast<line_number>(MAX_LINE_COUNT);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = std::min(saved.rlim_cur, rlim_t{2} << 30);
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
    EXPECT_THROW(make_shuffle_order(run), std::bad_alloc);
    ::setrlimit(RLIMIT_AS, &saved);
}
#endif

}  // namespace
}  // namespace line_shuffler
