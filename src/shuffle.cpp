// Drawing the random order of the input's lines.
#include "shuffle.h"

#include <cstdlib>
#include <numeric>

#include "aside.h"
#include "random_draws.h"
#include "write_plan.h"

namespace line_shuffler {

std::uint32_t draw_random() noexcept {
    return join_calls<RAND_MAX>([] { return std::rand(); });
}

namespace {

#if defined(__GLIBC__)
// glibc's rand() is random() behind a lock, taken for every call. Its
// state is the 128-byte one that initstate_r makes, and seeding that with
// srand's seed gives random_r the very numbers rand() would give, without
// the lock: the draw took a tenth of a large run's time.
class seeded_draws {
public:
    explicit seeded_draws(unsigned seed) noexcept { (void)::initstate_r(seed, state_, sizeof state_, &data_); }
    std::uint32_t operator()() noexcept {
        return join_calls<RAND_MAX>([this] {
            std::int32_t value = 0;
            (void)::random_r(&data_, &value);
            return value;
        });
    }

private:
    random_data data_{};
    char state_[128]{};
};
#else
// Elsewhere the draws are rand()'s own, seeded on the thread that makes
// them: msvcrt keeps rand()'s state per thread, a new thread's seeded as if
// by srand(1), and where the state is the process's, seeding it again with
// the same seed changes nothing. Only one thread draws at a time.
class seeded_draws {
public:
    explicit seeded_draws(unsigned seed) noexcept { std::srand(seed); }
    std::uint32_t operator()() const noexcept { return draw_random(); }
};
#endif

}  // namespace

void make_shuffle_order(run_state& run) {
    put_lengths_aside(run);
    const std::size_t count = run.line_count;
    // Left uninitialised: every entry is set below.
    run.shuffle_order.resize(count);
    line_number* const order = run.shuffle_order.data();

    // The seed is the calendar second cut to 32 bits, so two runs in the
    // same second draw the same order.
    const auto seed = static_cast<unsigned>(static_cast<std::uint32_t>(run.clock()));
    std::srand(seed);

    std::iota(order, order + count, line_number{1});
    const std::span<line_number> entries{order, count};
#if LINE_SHUFFLER_HAVE_THREADS
    // The second thread seeds draws of its own with the same seed, so it
    // draws the very numbers this thread would.
    if (plan_parts(parts_available(), run.limits.parts, run.input_size).draw > 1 &&
        shuffle_entries_drawing_ahead(entries, [seed]() noexcept { return seeded_draws{seed}; })) {
        return;
    }
#endif
    shuffle_entries(entries, seeded_draws{seed});
}

}  // namespace line_shuffler
