// The shuffled file, byte for byte, against the model of the line rules.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "aside.h"
#include "distribute.h"
#include "region_order.h"
#include "run.h"
#include "shuffle.h"
#include "small_windows.h"
#include "support.h"
#include "window_cuts.h"
#include "write_plan.h"
#include "writer.h"

namespace line_shuffler {
namespace {

using testing::model_output;
using testing::read_file;
using testing::write_file;

using testing::fixed_clock;
using testing::fixed_seconds;

class writer_test : public testing::scratch_folder_test {
protected:
    // Writes `input` as file.txt and runs the steps up to the order.
    void prepare(const std::string& input, writer_limits limits = {}) {
        write_file("file.txt", input);
        run = std::make_unique<run_state>();
        run->clock = fixed_clock;
        run->limits = limits;
        open_and_count(*run);
        make_shuffle_order(*run);
    }

    void set_order(const std::vector<std::uint32_t>& order) {
        ASSERT_EQ(order.size(), run->line_count);
        std::copy(order.begin(), order.end(), run->shuffle_order.data());
    }

    std::vector<std::uint32_t> order() const {
        return {run->shuffle_order.data(), run->shuffle_order.data() + run->line_count};
    }

    // The writer's first moves, for tests that take its steps one by one:
    // the order goes aside, and the plan is made.
    write_plan planned() {
        put_order_aside(*run);
        return plan_for(*run);
    }

    // Writes, closes and returns the shuffled file.
    std::string shuffle() {
        write_and_close(*run);
        return read_file("shuffled_file.txt");
    }

    std::string shuffle_in(const std::string& input, const std::vector<std::uint32_t>& order) {
        prepare(input);
        set_order(order);
        return shuffle();
    }

    std::unique_ptr<run_state> run;
};

TEST_F(writer_test, lines_come_out_in_the_order_drawn) {
    EXPECT_EQ(shuffle_in("a\nb\nc", {2, 3, 1}), "b\nc\na\n");
    EXPECT_EQ(shuffle_in("a\nb\nc", {3, 1, 2}), "c\na\nb\n");
}

TEST_F(writer_test, a_single_line_gets_a_line_end) {
    EXPECT_EQ(shuffle_in("abc", {1}), "abc\n");
    EXPECT_EQ(shuffle_in("", {1}), "\n");
}

TEST_F(writer_test, trailing_newline_gives_an_empty_line_at_its_place) {
    EXPECT_EQ(shuffle_in("a\nb\n", {3, 1, 2}), "\na\nb\n");
    EXPECT_EQ(shuffle_in("a\nb\n", {1, 3, 2}), "a\n\nb\n");
}

TEST_F(writer_test, added_line_end_is_the_inputs_own) {
    EXPECT_EQ(shuffle_in("a\r\nb\r\nc", {3, 2, 1}), "c\r\nb\r\na\r\n");
    EXPECT_EQ(shuffle_in("a\nb\r\nc", {3, 2, 1}), "c\nb\r\na\n");
}

TEST_F(writer_test, nul_bytes_and_carriage_returns_are_copied_as_they_are) {
    const std::string input("x\0y\nz\r\r\n\0", 9);
    EXPECT_EQ(shuffle_in(input, {3, 2, 1}), std::string("\0\nz\r\r\nx\0y\n", 10));
}

TEST_F(writer_test, lines_far_longer_than_the_buffers_are_copied_whole) {
    const std::string huge(5 * READ_BUFFER_SIZE + 3, 'h');
    const std::string mid(LINE_BUFFER_SIZE + 1, 'm');
    const std::string input = "s\n" + huge + "\n" + mid + "\n" + huge;
    EXPECT_EQ(shuffle_in(input, {4, 3, 1, 2}), model_output(input, {4, 3, 1, 2}));
}

// Windows, reads and write buffers as the run sizes them, and forced small
// enough that lines straddle reads, windows hold one line or fewer than
// their lines' bytes, regions get their lines a byte at a time, and lines
// are longer than every window; then the same through passes over the
// input, as for an output that can't hold regions; then windows of few
// lines copied straight, every one but the last or some between regions.
const writer_limits window_sizes[] = {
    {0, 0, 0, false, 1},         {1, 64, 1, false, 2},           {100, 7, 3, false, 2},   {700, 64, 64, false, 1},
    {5000, 1000, 16, false, 2},  {200'000, 4096, 0, false, 2},   {0, 0, 0, true, 0},      {1, 4096, 0, true, 0},
    {100, 512, 0, true, 0},      {5000, 1000, 0, true, 0},       {1, 64, 1, false, 1, 2}, {100, 7, 3, false, 2, 3},
    {700, 64, 64, false, 2, 10}, {5000, 1000, 16, false, 1, 40},
};

// Random inputs of every awkward kind, many seeds: the writer must give
// exactly the model's bytes for the order it drew.
TEST_F(writer_test, random_inputs_match_the_model) {
    std::mt19937 random(20261208);
    // Newlines come only from the line structure, so that long lines stay
    // long; carriage returns and NUL bytes fall anywhere.
    const std::string alphabet("ab\r\0", 4);
    for (int round = 0; round < 60; ++round) {
        std::string input;
        const int lines = std::uniform_int_distribution<int>(0, round < 50 ? 40 : 3000)(random);
        for (int i = 0; i < lines; ++i) {
            const int shape = std::uniform_int_distribution<int>(0, 19)(random);
            const std::size_t length = shape == 0   ? std::uniform_int_distribution<std::size_t>(900, 200'000)(random)
                                       : shape == 1 ? 0
                                                    : std::uniform_int_distribution<std::size_t>(1, 80)(random);
            for (std::size_t k = 0; k < length; ++k) {
                input += alphabet[std::uniform_int_distribution<std::size_t>(0, 3)(random)];
            }
            input += '\n';
        }
        if (random() % 2 == 0) {
            input += "tail";
        }
        fixed_seconds = round;
        // The smallest reads and windows only on small inputs: passes over
        // 3,000 lines in windows of a line each would read the input 3,000
        // times, which under wine takes hours.
        constexpr std::size_t large_input_limits[] = {3, 4, 5, 9, 13};
        const auto index = static_cast<std::size_t>(round);
        const std::size_t size =
            round < 50 ? index % std::size(window_sizes) : large_input_limits[index % std::size(large_input_limits)];
        const writer_limits limits = window_sizes[size];
        prepare(input, limits);
        const std::string expected = model_output(input, order());
        ASSERT_EQ(shuffle(), expected) << "round " << round << ", window " << limits.window_bytes << ", passes "
                                       << limits.passes_only << ", least lines " << limits.least_window_lines;
    }
}

// The layout numbers no more windows than the plan made room for, each of
// at least the least lines the plan numbers but the last; with the lines
// copied straight between them, the regions cover the output once, in
// output order; and every line's slot holds its window's number, or
// NO_WINDOW if it was copied straight. Windows of a byte over many lines
// are made large enough to leave a number for every one, just.
TEST_F(writer_test, the_layout_keeps_to_the_plan) {
    std::string many;
    for (int i = 0; i < 200'000; ++i) {
        many.append(static_cast<std::size_t>(i % 9), 'x');
        many += '\n';
    }
    std::string mixed;
    for (int i = 0; i < 3000; ++i) {
        mixed.append(static_cast<std::size_t>(i % 17 == 0 ? 40'000 + i : i % 50), 'y');
        mixed += '\n';
    }
    std::vector<writer_limits> sizes(std::begin(window_sizes), std::end(window_sizes));
    sizes.push_back({1, 0, 0, false, 2});
    for (const std::string& input : {many, mixed}) {
        for (const writer_limits& limits : sizes) {
            prepare(input, limits);
            const std::vector<std::uint32_t> drawn = order();
            const write_plan plan = planned();
            if (plan.path != write_path::regions) {
                continue;
            }
            SCOPED_TRACE(::testing::Message() << run->line_count << " lines, window " << limits.window_bytes
                                              << ", least lines " << plan.least_window_lines);
            copy_small_windows(*run, plan);
            const auto [layout, numbers] = lay_out_regions(*run, plan);
            ASSERT_LE(layout.windows.size(), plan.table_windows);
            ASSERT_LE(plan.table_windows, MAX_WINDOWS);
            std::vector<bool> numbered(run->line_count, false);
            std::uint64_t end = 0;
            std::uint64_t end_line = 0;
            std::uint64_t numbered_bytes = 0;
            for (std::size_t window = 0; window < layout.windows.size(); ++window) {
                const region_window& region = layout.windows[window];
                ASSERT_GE(region.start, end);
                ASSERT_GE(region.first_line, end_line);
                ASSERT_LE(region.first_part_bytes, region.bytes);
                ASSERT_LE(region.first_part_lines, region.lines);
                if (window + 1 < layout.windows.size()) {
                    ASSERT_GE(region.lines, plan.least_window_lines);
                }
                for (std::size_t position = region.first_line; position < region.first_line + region.lines;
                     ++position) {
                    const std::size_t index = line_index(drawn[position]);
                    ASSERT_EQ(layout.window_at(numbers.window_of(index)), window);
                    numbered[index] = true;
                }
                end = region.start + region.bytes;
                end_line = region.first_line + region.lines;
                numbered_bytes += region.bytes;
            }
            EXPECT_EQ(end, input.size() + run->added_line_end.size());
            EXPECT_EQ(end_line, run->line_count);
            EXPECT_EQ(numbered_bytes + layout.copied_bytes, end);
            for (std::size_t index = 0; index < run->line_count; ++index) {
                if (!numbered[index]) {
                    ASSERT_EQ(numbers.window_of(index), NO_WINDOW) << "line " << index;
                }
            }
        }
    }
}

TEST_F(writer_test, many_short_lines_in_many_windows) {
    std::string input;
    for (std::int64_t i = 0; i < 600'000; ++i) {
        input += std::to_string(i * 7919 % 1000003);
        input += '\n';
    }
    // Windows full of lines, windows full of bytes with small write
    // buffers, and passes.
    for (const writer_limits limits :
         {writer_limits{}, writer_limits{20'000, 0, 100, false}, writer_limits{1'000'000, 0, 0, true}}) {
        fixed_seconds = 5;
        prepare(input, limits);
        const std::string expected = model_output(input, order());
        EXPECT_EQ(shuffle(), expected) << "window " << limits.window_bytes;
    }
}

// Lets a test act between two passes over the input: the progress line
// reads its clock after every window it has written.
std::function<void()> between_passes;
std::int64_t clock_that_acts() {
    if (between_passes) {
        between_passes();
    }
    return 0;
}

// The input with every byte in [from, to) but the newlines changed.
std::string changed(std::string input, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        input[i] = input[i] == '\n' ? '\n' : static_cast<char>(input[i] ^ 0x20);
    }
    return input;
}

// Another program rewriting the input between counting and writing, or
// between two passes, must not pass for a finished shuffle, even when the
// size stays the same and every line still ends where it did. A file
// system that keeps whole seconds may leave the file saying just what it
// said (its identity taken again shows that); then only its bytes tell.
TEST_F(writer_test, input_rewritten_after_counting_is_reported) {
    enum class times { as_written, set_a_second_on, unchanged };
    struct rewrite {
        const char* what;
        std::string (*rewritten)(std::string input);
        times shown;
        bool first_lines_only = false;  // which every pass reads again
    };
    const rewrite rewrites[] = {
        {"shorter", [](std::string in) { return in.substr(0, in.size() / 2); }, times::as_written},
        {"longer", [](std::string in) { return in + "\nten"; }, times::as_written},
        {"a newline more",
         [](std::string in) {
             in[1] = '\n';
             return in;
         },
         times::unchanged},
        {"newlines moved", [](std::string in) { return in.substr(1) + in[0]; }, times::unchanged},
        {"every byte changed, times set on", [](std::string in) { return changed(in, 0, in.size()); },
         times::set_a_second_on},
        {"first line changed", [](std::string in) { return changed(in, 0, in.find('\n')); }, times::unchanged, true},
        {"last line changed", [](std::string in) { return changed(in, in.rfind('\n'), in.size()); }, times::unchanged},
        {"first two lines trade places",
         [](std::string in) {
             const std::size_t second = in.find('\n') + 1;
             return in.substr(second, second - 1) + '\n' + in.substr(0, second - 1) + in.substr(2 * second - 1);
         },
         times::unchanged, true},
        {"last two lines trade places",
         [](std::string in) {
             const std::size_t last = in.rfind('\n') + 1;
             const std::size_t length = in.size() - last;
             return in.substr(0, last - length - 1) + in.substr(last) + '\n' + in.substr(last - length - 1, length);
         },
         times::unchanged},
        // Every line of the second input is 18 bytes, so 64-byte stretches 9
        // apart hold their newlines alike: only the digest's running sums,
        // not plain ones, tell them apart once they trade places.
        {"two aligned stretches alike in newlines trade places",
         [](std::string in) {
             if (in.size() < 640) {
                 return changed(in, 0, 3);
             }
             std::swap_ranges(in.begin(), in.begin() + 64, in.begin() + 576);
             return in;
         },
         times::unchanged, true},
    };
    std::string numbered;
    for (int line = 0; line < 30'000; ++line) {
        const std::string number = std::to_string(1'000'000 + line);
        numbered += "line " + number + (line % 2 == 0 ? " even\n" : " odd.\n");
    }
    numbered.pop_back();
    // Each input with regions in one part and in two, and passes in one
    // window and in several; the second input spans several blocks of the
    // digest, so that each part, and each pass, checks only its own.
    const std::pair<std::string, std::vector<writer_limits>> inputs[] = {
        {"one\ntwo\nthree\nfour\nfive\nnine",
         {writer_limits{}, writer_limits{8, 4, 2, false, 2}, writer_limits{0, 0, 0, true}, writer_limits{8, 4, 0, true},
          writer_limits{8, 4, 2, false, 2, 2}, writer_limits{0, 0, 0, false, 1, 9}}},
        {numbered,
         {writer_limits{0, 0, 0, false, 1}, writer_limits{0, 4096, 0, false, 2}, writer_limits{0, 0, 0, true},
          writer_limits{20'000, 4096, 0, true}}},
    };
    const auto expect_reported = [this](const std::string& what) {
        try {
            write_shuffled_lines(*run);
            ADD_FAILURE() << what << ": no failure reported";
        } catch (const run_failure& failed) {
            EXPECT_EQ(failed.reason, failure::input_changed) << what;
        }
    };
    for (const auto& [input, all_limits] : inputs) {
        for (const rewrite& r : rewrites) {
            const auto rewrite_now = [&] {
                const auto written = std::filesystem::last_write_time("file.txt");
                const std::string rewritten = r.rewritten(input);
                ASSERT_NE(rewritten, input) << r.what;
                write_file("file.txt", rewritten);
                if (r.shown == times::set_a_second_on) {
                    std::filesystem::last_write_time("file.txt", written + std::chrono::seconds(1));
                } else if (r.shown == times::unchanged) {
                    run->input_identity = run->input_file.identity();
                }
            };
            for (const writer_limits& limits : all_limits) {
                const std::string what = std::string(r.what) + ", " + std::to_string(input.size()) + " bytes, window " +
                                         std::to_string(limits.window_bytes) + ", passes " +
                                         std::to_string(limits.passes_only) + ", parts " + std::to_string(limits.parts);
                prepare(input, limits);
                rewrite_now();
                expect_reported(what);
                // The pass after the rewrite reads the first lines again.
                if (limits.passes_only && limits.window_bytes != 0 && r.first_lines_only) {
                    prepare(input, limits);
                    std::FILE* const console = std::fopen("console.txt", "w");
                    ASSERT_NE(console, nullptr);
                    run->progress = progress_line{console, clock_that_acts};
                    bool done = false;
                    between_passes = [&] {
                        if (!std::exchange(done, true)) {
                            rewrite_now();
                        }
                    };
                    expect_reported(what + ", between passes");
                    between_passes = nullptr;
                    EXPECT_TRUE(done) << what;
                    (void)std::fclose(console);
                }
            }
        }
    }
}

// The second step cuts each region it reads back from the output at its
// lines' ends; a region that doesn't hold its lines as laid out (another
// program wrote to the output between the steps, say) must be reported,
// never reordered.
TEST_F(writer_test, a_region_changed_before_it_is_read_back_is_reported) {
    std::string input;
    for (int line = 0; line < 2000; ++line) {
        input += "line " + std::to_string(line) + "\n";
    }
    struct change {
        const char* what;
        void (*apply)(std::string& region);
    };
    const change changes[] = {
        {"a line end gone", [](std::string& region) { region[region.find('\n')] = 'x'; }},
        {"a line end more", [](std::string& region) { region[0] = '\n'; }},
        {"the last line end gone", [](std::string& region) { region.back() = 'x'; }},
    };
    for (const change& c : changes) {
        prepare(input, writer_limits{4096, 0, 0, false, 1});
        const write_plan plan = planned();
        ASSERT_EQ(plan.path, write_path::regions);
        auto [layout, numbers] = lay_out_regions(*run, plan);
        const window_places places = distribute_lines(*run, plan, layout, std::move(numbers));
        const region_window& window = layout.windows.front();
        ASSERT_GT(window.lines, 1U);
        std::string region(static_cast<std::size_t>(window.bytes), '\0');
        ASSERT_EQ(run->output_file.read_at(std::span<char>{region}, window.start),
                  static_cast<platform::io_result>(region.size()));
        c.apply(region);
        ASSERT_TRUE(run->output_file.write_at(std::span<const char>{region}, window.start));
        try {
            order_regions(*run, plan, layout, places);
            ADD_FAILURE() << c.what << ": no failure reported";
        } catch (const run_failure& failed) {
            EXPECT_EQ(failed.reason, failure::input_changed) << c.what;
        }
    }
}

// The progress clock of the first step's first part, which waits a moment
// at its first report so that the second part has long failed after it.
int progress_reports = 0;
std::int64_t clock_that_waits_once() {
    if (progress_reports++ == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return 0;
}

// A part of the first step that fails stops the other at its next look,
// rather than when that has read its whole half: with the second half gone,
// the second part fails at its first read, and the first reports its
// progress far fewer times than over the whole input. The failure reported
// is the one that happened.
TEST_F(writer_test, a_part_that_fails_stops_the_other) {
    // Lines of 100 bytes, 120,000 of them: the halves meet at a line start.
    std::string input;
    for (int line = 0; line < 120'000; ++line) {
        input += std::string(99, static_cast<char>('a' + line % 26)) + '\n';
    }
    const auto first_step = [&](bool second_half_gone, std::optional<failure>& failed) {
        prepare(input, writer_limits{0, 0, 0, false, 2});
        const write_plan plan = planned();
        auto [layout, numbers] = lay_out_regions(*run, plan);
        if (second_half_gone) {
            std::filesystem::resize_file("file.txt", layout.split_offset);
        }
        std::FILE* const console = std::fopen("console.txt", "w");
        if (console == nullptr) {
            throw std::runtime_error("cannot open console.txt");
        }
        run->progress = progress_line{console, clock_that_waits_once};
        run->progress.measure_in(2 * input.size());
        progress_reports = 0;
        try {
            (void)distribute_lines(*run, plan, layout, std::move(numbers));
        } catch (const run_failure& failure_reported) {
            failed = failure_reported.reason;
        }
        run->progress = progress_line{};
        (void)std::fclose(console);
        return progress_reports;
    };
    std::optional<failure> failed;
    const int whole = first_step(false, failed);
    ASSERT_FALSE(failed.has_value());
    const int stopped = first_step(true, failed);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(*failed, failure::input_changed);
    EXPECT_LT(2 * stopped, whole);
}

// One place decides how many parts each step takes: the machine's
// processors or a test's asking, and the input's size, which a count in
// halves needs two blocks of and a writer in parts 4 MiB of.
TEST(write_plan_test, one_place_decides_the_parts_of_every_step) {
    struct row {
        unsigned available;
        unsigned asked;
        std::uint64_t bytes;
        step_parts parts;
    };
    const row rows[] = {
        {1, 0, 1U << 30, {1, 1, 1}}, {2, 0, 1U << 30, {2, 2, 2}}, {2, 0, 4U << 20, {2, 2, 2}},
        {2, 0, 200'000, {2, 2, 1}},  {2, 0, 100'000, {1, 2, 1}},  {2, 0, 0, {1, 2, 1}},
        {2, 1, 1U << 30, {1, 1, 1}}, {1, 2, 200'000, {2, 2, 2}},  {1, 2, 1000, {1, 2, 2}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(plan_parts(r.available, r.asked, r.bytes), r.parts)
            << r.available << " available, " << r.asked << " asked, " << r.bytes << " bytes";
    }
}

// A file as the count hands it to the plan: `lines` lines of `length`
// bytes, the last of which comes out `last_length` bytes long.
struct file_shape {
    std::uint64_t lines;
    std::uint64_t length;
    std::uint64_t last_length;
};

plan_figures figures_for(const file_shape& shape, bool regions, unsigned parts) {
    const auto lines_from = [&](std::uint64_t least) {
        return (shape.length >= least ? shape.lines - 1 : 0) + (shape.last_length >= least ? 1 : 0);
    };
    plan_figures figures;
    figures.line_count = shape.lines;
    figures.output_bytes = (shape.lines - 1) * shape.length + shape.last_length;
    figures.lengths_bytes = line_lengths::memory_for(shape.lines, lines_from(line_lengths::LONG_LENGTH),
                                                     lines_from(line_lengths::HUGE_LENGTH));
    figures.longest_line = std::max(shape.length, shape.last_length);
    figures.output_reads_back = regions;
    figures.parts = parts;
    return figures;
}

// How many windows the layout numbers for a file of this shape, in input
// order (every order of lines of one length is cut alike): the lengths are
// noted as a count would, and the order is cut as the layout cuts it.
std::uint64_t numbered_windows(const file_shape& shape, const write_plan& plan) {
    run_state run;
    run.line_count = static_cast<line_number>(shape.lines);
    run.added_line_end = "";
    for (std::uint64_t line = 0; line + 1 < shape.lines; ++line) {
        run.lengths.add(shape.length);
    }
    run.lengths.add(shape.last_length);
    run.shuffle_order.resize(shape.lines);
    std::iota(run.shuffle_order.data(), run.shuffle_order.data() + shape.lines, line_number{1});
    std::uint64_t numbered = 0;
    walk_windows(
        run, plan, [](std::size_t, std::uint64_t) {},
        [&](std::size_t first, std::size_t end, std::uint64_t) {
            numbered += window_is_numbered(run, plan, first, end) ? 1U : 0U;
        });
    return numbered;
}

// Whatever the count and the lengths, the plan keeps the memory promise
// with all it holds, an output that can hold regions gets them, and a
// region layout never numbers more windows than a line's slot can.
TEST(write_plan_test, keeps_the_memory_promise_for_any_count_and_length) {
    std::vector<file_shape> shapes;
    const std::uint64_t counts[] = {1, 2, 1000, 65'537, 1'000'000, 100'000'000, MAX_LINE_COUNT};
    const std::uint64_t lengths[] = {1, 51, 500, 10'000, 1U << 20, 1U << 30};
    for (const std::uint64_t count : counts) {
        for (const std::uint64_t length : lengths) {
            shapes.push_back({count, length, length});
        }
    }
    // Lines of 64 KiB by the million, with an empty last line or not; the
    // most lines there can be, of a byte and of a gigabyte; lines just
    // short of and at the length whose high bits fill a slot.
    shapes.push_back({1'048'578, 65'535, 1});
    shapes.push_back({std::uint64_t{16} << 20, 65'536, 65'536});
    shapes.push_back({MAX_LINE_COUNT, 1, 1});
    shapes.push_back({MAX_LINE_COUNT, 1'000'000'000, 1'000'000'000});
    shapes.push_back({3'000'000, line_lengths::HUGE_LENGTH - 1, line_lengths::HUGE_LENGTH - 1});
    shapes.push_back({100'000, line_lengths::HUGE_LENGTH, 1});
    for (const file_shape& shape : shapes) {
        for (const auto& [regions, parts] : {std::pair{true, 1U}, std::pair{true, 2U}, std::pair{false, 2U}}) {
            const plan_figures figures = figures_for(shape, regions, parts);
            const write_plan plan = plan_writer(figures);
            const std::uint64_t lines = shape.lines;
            SCOPED_TRACE(::testing::Message()
                         << lines << " lines of " << shape.length << " B, regions " << regions << ", parts " << parts);
            ASSERT_GE(plan.window_bytes, 1U);
            ASSERT_LE(plan.window_bytes, plan.memory_bytes);
            // All the plan holds is within the promise, and holds at least
            // the order, then the lengths and the windows' memory.
            EXPECT_LE(plan.peak_bytes, PROMISED_BASE_BYTES + PROMISED_BYTES_PER_LINE * lines);
            EXPECT_GE(plan.peak_bytes,
                      std::max(sizeof(line_number) * lines, figures.lengths_bytes + plan.memory_bytes));
            ASSERT_EQ(plan.path, regions ? write_path::regions : write_path::passes);
            if (plan.path == write_path::regions) {
                EXPECT_LE(plan.window_bytes * plan.parts, plan.memory_bytes);
                EXPECT_LE(plan.parts, parts);
                EXPECT_EQ(plan.window_lines, MAX_LINES_PER_WINDOW);
                // The windows a made-up order of such lines is cut into, as
                // the layout cuts it, fit the table: those the file needs
                // lengths for by the million or fewer.
                if (lines <= 2'000'000) {
                    EXPECT_LE(numbered_windows(shape, plan), plan.table_windows);
                }
                EXPECT_LE(plan.table_windows, MAX_WINDOWS);
                // A window can close with fewer lines than the least only
                // after a line longer than its share.
                if (!plan.copies_lines) {
                    EXPECT_TRUE(plan.least_window_lines == 1 || figures.longest_line + WINDOW_BYTES_PER_LINE <=
                                                                    plan.window_bytes / plan.least_window_lines);
                }
            }
        }
        // Lines shorter than 32 KiB are never copied straight, nor lines
        // of up to 64 KiB by the million: every window of them gets a
        // region, however many there are.
        if (shape.length < line_lengths::LONG_LENGTH || (shape.length <= 65'536 && shape.lines <= 2'000'000)) {
            EXPECT_FALSE(plan_writer(figures_for(shape, true, 2)).copies_lines)
                << shape.lines << " of " << shape.length;
        }
    }
}

}  // namespace
}  // namespace line_shuffler
