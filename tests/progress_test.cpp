// The progress line: silent for short runs, throttled, and gone at the end.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "progress.h"

namespace line_shuffler {
namespace {

std::int64_t now_ms = 0;
int clock_reads = 0;
std::int64_t fake_clock() {
    ++clock_reads;
    return now_ms;
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class progress_test : public ::testing::Test {
protected:
    void SetUp() override {
        now_ms = 5'000;
        clock_reads = 0;
        ASSERT_NE(console, nullptr);
    }

    std::string written() {
        std::fflush(console.get());
        std::string text;
        std::rewind(console.get());
        for (int c; (c = std::fgetc(console.get())) != EOF;) {
            text += static_cast<char>(c);
        }
        return text;
    }

    // What a terminal would show on the current line: a carriage return
    // moves back to the start, later characters overwrite earlier ones.
    static std::string visible_line(const std::string& text) {
        std::string line;
        std::size_t column = 0;
        for (const char c : text) {
            if (c == '\r') {
                column = 0;
                continue;
            }
            if (column < line.size()) {
                line[column] = c;
            } else {
                line += c;
            }
            ++column;
        }
        return line;
    }

    // Runs `lines` updates, advancing the clock by `ms_per_line` each.
    void run_lines(progress_line& progress, std::uint64_t lines, std::int64_t ms_per_line) {
        for (std::uint64_t done = 1; done <= lines; ++done) {
            now_ms += ms_per_line;
            progress.update(done);
        }
    }

    std::unique_ptr<std::FILE, file_closer> console{std::tmpfile()};
};

TEST_F(progress_test, nothing_shows_until_the_first_second_is_up) {
    progress_line progress{console.get(), fake_clock};
    progress.start_clock();
    progress.measure_in(4096);
    now_ms += progress_line::QUIET_MS - 1;
    const int reads = clock_reads;
    progress.update(1024);
    // The update got past the throttle and looked at the clock.
    ASSERT_GT(clock_reads, reads);
    EXPECT_EQ(written(), "");
    now_ms += 1;
    progress.update(2048);
    EXPECT_EQ(visible_line(written()), "Shuffling:  50%");
}

TEST_F(progress_test, a_long_run_shows_rising_percentages_a_few_times_a_second) {
    progress_line progress{console.get(), fake_clock};
    const std::uint64_t lines = 1 << 20;
    progress.start_clock();
    progress.measure_in(lines);
    // 3 ms per 1024 lines: about 3 s in all, the first of them silent.
    for (std::uint64_t done = 1024; done <= lines; done += 1024) {
        now_ms += 3;
        progress.update(done);
    }
    const std::string text = written();
    std::vector<int> percents;
    for (std::size_t at = 0; (at = text.find("\rShuffling: ", at)) != std::string::npos; ++at) {
        percents.push_back(std::stoi(text.substr(at + 12, 3)));
    }
    // At most four redraws a second over the two seconds shown.
    EXPECT_GE(percents.size(), 6U);
    EXPECT_LE(percents.size(), 9U);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_GE(percents.front(), 30);  // nothing before the first second
    EXPECT_LE(percents.back(), 100);
}

// A run of few units (a few long lines, or bytes trickling into a slow
// reader) shows its progress as soon as a second has passed.
TEST_F(progress_test, few_slow_units_show_progress_too) {
    progress_line progress{console.get(), fake_clock};
    progress.start_clock();
    progress.measure_in(8);
    run_lines(progress, 4, 400);
    EXPECT_EQ(visible_line(written()), "Shuffling:  50%");
}

TEST_F(progress_test, erase_leaves_a_blank_line) {
    progress_line progress{console.get(), fake_clock};
    progress.start_clock();
    now_ms += 2 * progress_line::QUIET_MS;
    // Before the work is measured in there is no percentage to show.
    progress.update(1024);
    ASSERT_EQ(written(), "");
    progress.measure_in(2048);
    progress.update(1024);
    ASSERT_EQ(visible_line(written()), "Shuffling:  50%");
    progress.erase();
    EXPECT_EQ(visible_line(written()).find_first_not_of(' '), std::string::npos);
    // The cursor is back at the start of the line.
    EXPECT_EQ(written().back(), '\r');
}

// A run whose output is redirected keeps the line it was made with, which
// has no console and no clock: it must never reach for either. With a clock
// given, the reads are counted; the run's own line would crash on one.
TEST_F(progress_test, a_line_without_a_console_never_reads_the_clock) {
    progress_line progress{nullptr, fake_clock};
    progress.start_clock();
    progress.measure_in(4096);
    now_ms += 10 * progress_line::QUIET_MS;
    progress.update(1024);
    progress.erase();
    EXPECT_EQ(clock_reads, 0);

    progress_line runs_own;
    runs_own.start_clock();
    runs_own.measure_in(4096);
    runs_own.update(4096);
    runs_own.erase();
}

}  // namespace
}  // namespace line_shuffler
