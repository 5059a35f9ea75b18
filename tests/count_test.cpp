// Counting the input's lines, and the marks left behind for the writer.
#include <memory>
#include <string>

#include "messages.h"
#include "run_state.h"
#include "support.h"

namespace line_shuffler {
namespace {

using testing::model_lines;
using testing::write_file;

class count_test : public testing::scratch_folder_test {
protected:
    // Writes `input` as file.txt, opens it and counts it.
    line_number count(const std::string& input, std::uint64_t line_limit = MAX_LINE_COUNT) {
        write_file("file.txt", input);
        run = std::make_unique<run_state>();
        run->max_line_count = line_limit;
        open_input_file(*run);
        return count_lines(*run);
    }

    std::unique_ptr<run_state> run;
};

// main makes the run's state before anything can report a failure, so
// making it must take no memory: the marks and the buffer come with the count.
TEST_F(count_test, the_run_takes_memory_only_once_counting_starts) {
    const run_state fresh;
    EXPECT_EQ(fresh.marks.memory_bytes(), 0U);
    EXPECT_EQ(fresh.read_buffer.size(), 0U);
    count("a\nb");
    EXPECT_GT(run->marks.memory_bytes(), 0U);
    EXPECT_EQ(run->read_buffer.size(), READ_BUFFER_SIZE);
}

TEST_F(count_test, counts_newlines_plus_one) {
    EXPECT_EQ(count(""), 1U);
    EXPECT_EQ(count("a"), 1U);
    EXPECT_EQ(count("a\nb"), 2U);
    EXPECT_EQ(count("a\n"), 2U);
    EXPECT_EQ(count("\n\n\n"), 4U);
}

// The real limit needs a file of 2^31 newlines; a lower one takes the
// same path.
TEST_F(count_test, a_line_past_the_limit_is_too_many) {
    EXPECT_EQ(count("a\nb\nc", 3), 3U);
    try {
        count("a\nb\nc\n", 3);
        FAIL() << "no failure reported";
    } catch (const run_failure& failed) {
        EXPECT_EQ(failed.reason, failure::too_many_lines);
        EXPECT_STREQ(message_for(failed.reason), "Too many lines. At most 2147483647 lines can be shuffled\n");
    }
}

TEST_F(count_test, carriage_returns_and_nul_bytes_are_ordinary_bytes) {
    EXPECT_EQ(count("a\r\nb"), 2U);
    EXPECT_EQ(count("a\rb\rc"), 1U);
    EXPECT_EQ(count(std::string("a\0\nb\0", 5)), 2U);
}

TEST_F(count_test, line_length_does_not_matter) {
    const std::string long_line(3 * READ_BUFFER_SIZE + 17, 'x');
    EXPECT_EQ(count(long_line + "\n" + long_line + "\nshort"), 3U);
    EXPECT_EQ(run->input_size, 2 * long_line.size() + 2 + 5);
}

// Counting reads COUNT_READ_SIZE bytes at a time: the first boundary and a
// later one.
TEST_F(count_test, newlines_on_block_boundaries_count_once) {
    for (const std::size_t at :
         {COUNT_READ_SIZE - 1, COUNT_READ_SIZE, COUNT_READ_SIZE + 1, 2 * COUNT_READ_SIZE - 1, 2 * COUNT_READ_SIZE}) {
        std::string input(3 * COUNT_READ_SIZE, 'x');
        input[at] = '\n';
        EXPECT_EQ(count(input), 2U) << "newline at " << at;
        EXPECT_EQ(run->marks.mark_at_or_before(2).offset, at + 1);
    }
}

TEST_F(count_test, added_line_end_follows_the_first_line) {
    count("a\r\nb\nc");
    EXPECT_EQ(run->added_line_end, "\r\n");
    count("a\nb\r\nc");
    EXPECT_EQ(run->added_line_end, "\n");
    count("abc");
    EXPECT_EQ(run->added_line_end, "\n");
    // The carriage return sits at the end of one block, its newline at the
    // start of the next.
    std::string split(COUNT_READ_SIZE + 1, 'x');
    split[COUNT_READ_SIZE - 1] = '\r';
    split[COUNT_READ_SIZE] = '\n';
    count(split);
    EXPECT_EQ(run->added_line_end, "\r\n");
}

// Every line's nearest mark must be a true line start at or before it, and
// no further back than the marks' interval.
void expect_marks_match(const run_state& run, const std::string& input) {
    const auto lines = model_lines(input);
    std::vector<std::uint64_t> starts;
    std::uint64_t offset = 0;
    for (const auto& line : lines) {
        starts.push_back(offset);
        offset += line.size();
    }
    for (std::uint64_t line = 1; line <= lines.size(); ++line) {
        const line_mark mark = run.marks.mark_at_or_before(line);
        ASSERT_LE(mark.line_number, line);
        ASSERT_LT(line - mark.line_number, run.marks.interval());
        ASSERT_EQ(mark.offset, starts[mark.line_number - 1]) << "line " << line;
    }
}

TEST_F(count_test, marks_point_at_line_starts_on_small_inputs) {
    const std::string input = "one\ntwo\n\nthree\r\nfour";
    count(input);
    EXPECT_EQ(run->marks.interval(), 1U);
    expect_marks_match(*run, input);
}

TEST_F(count_test, marks_thin_out_but_stay_at_line_starts_on_many_lines) {
    // Enough lines to thin the marks several times; line lengths vary so
    // that a mark off by a line would show.
    std::string input;
    for (int i = 0; i < 700'000; ++i) {
        input.append(static_cast<std::size_t>(i % 7), 'x');
        input += '\n';
    }
    count(input);
    EXPECT_EQ(run->marks.interval(), 16U);
    // At most one mark for every eight lines: half a byte a line.
    EXPECT_LE(run->marks.size() * 8, 700'001U);
    expect_marks_match(*run, input);
}

TEST(line_marks_test, offsets_beyond_four_gibibytes_survive_thinning) {
    // Synthetic line starts, 40 KiB apart, running far past 4 GiB.
    constexpr std::uint64_t spacing = 40 * 1024;
    constexpr std::uint64_t lines = 1'000'000;
    line_marks marks;
    marks.start();
    for (std::uint64_t line = 2; line <= lines; ++line) {
        marks.note_line_start(line, (line - 1) * spacing);
    }
    ASSERT_GT(marks.interval(), 1U);
    for (std::uint64_t line = 1; line <= lines; line += 997) {
        const line_mark mark = marks.mark_at_or_before(line);
        ASSERT_EQ(mark.offset, (mark.line_number - 1) * spacing) << "line " << line;
        ASSERT_LT(line - mark.line_number, marks.interval());
    }
}

TEST(line_marks_test, a_single_line_longer_than_four_gibibytes_skips_an_epoch) {
    line_marks marks;
    marks.start();
    const std::uint64_t far = (std::uint64_t{9} << 32) + 5;  // past two whole epochs
    marks.note_line_start(2, 10);
    marks.note_line_start(3, far);
    marks.note_line_start(4, far + 1);
    EXPECT_EQ(marks.mark_at_or_before(2).offset, 10U);
    EXPECT_EQ(marks.mark_at_or_before(3).offset, far);
    EXPECT_EQ(marks.mark_at_or_before(4).offset, far + 1);
}

}  // namespace
}  // namespace line_shuffler
