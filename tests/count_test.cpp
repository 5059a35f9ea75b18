// Counting the input's lines, and the lengths and digest noted for the
// writer.
#include <algorithm>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "count.h"
#include "files.h"
#include "messages.h"
#include "run.h"
#include "support.h"

namespace line_shuffler {
namespace {

using testing::model_lines;
using testing::write_file;

class count_test : public testing::scratch_folder_test {
protected:
    // Writes `input` as file.txt, opens it and counts it, in `parts` parts
    // (as the machine has it, if 0) where it is large enough for two.
    line_number count(const std::string& input, std::uint64_t line_limit = MAX_LINE_COUNT, unsigned parts = 0) {
        write_file("file.txt", input);
        run = std::make_unique<run_state>();
        run->max_line_count = line_limit;
        run->limits.parts = parts;
        open_input_file(*run);
        run->line_count = count_lines(*run);
        return run->line_count;
    }

    std::unique_ptr<run_state> run;
};

// main makes the run's state before anything can report a failure, so
// making it must take no memory: the lengths and the buffer come with the
// count.
TEST_F(count_test, the_run_takes_memory_only_once_counting_starts) {
    const run_state fresh;
    EXPECT_EQ(fresh.lengths.memory_bytes(), 0U);
    EXPECT_EQ(fresh.read_buffer.size(), 0U);
    count("a\nb");
    EXPECT_GT(run->lengths.memory_bytes(), 0U);
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
// later one. In two parts the second starts at the first boundary here,
// so a line may start in one part and end in the other, or in neither.
TEST_F(count_test, newlines_on_block_boundaries_count_once) {
    for (const unsigned parts : {1U, 2U}) {
        for (const std::size_t at : {COUNT_READ_SIZE - 1, COUNT_READ_SIZE, COUNT_READ_SIZE + 1, 2 * COUNT_READ_SIZE - 1,
                                     2 * COUNT_READ_SIZE}) {
            std::string input(3 * COUNT_READ_SIZE, 'x');
            input[at] = '\n';
            EXPECT_EQ(count(input, MAX_LINE_COUNT, parts), 2U) << "newline at " << at << ", parts " << parts;
            EXPECT_EQ(run->lengths[0], at + 1);
            EXPECT_EQ(run->lengths[1], input.size() - at - 1);
        }
        EXPECT_EQ(count(std::string(3 * COUNT_READ_SIZE, 'x'), MAX_LINE_COUNT, parts), 1U);
        EXPECT_EQ(run->lengths[0], 3 * COUNT_READ_SIZE);
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
    // And at the start of the count's second part, the first line's end
    // in the second part, its carriage return in the first.
    split.resize(3 * COUNT_READ_SIZE, 'x');
    count(split, MAX_LINE_COUNT, 2);
    EXPECT_EQ(run->added_line_end, "\r\n");
    split[COUNT_READ_SIZE - 1] = 'x';
    count(split, MAX_LINE_COUNT, 2);
    EXPECT_EQ(run->added_line_end, "\n");
}

// Every line's length, as the model of the line rules splits the input,
// one by one and added up from every line on, as counted and once put
// aside and taken back into another table's block; and what the lengths
// then hold is what the plan is told they hold for such a file.
void expect_lengths_match(run_state& run, const std::string& input) {
    const auto lines = model_lines(input);
    std::vector<std::uint64_t> starts{0};
    std::uint64_t long_lines = 0;
    std::uint64_t longest = 0;
    for (const std::string& line : lines) {
        starts.push_back(starts.back() + line.size());
        long_lines += line.size() >= line_lengths::LONG_LENGTH ? 1U : 0U;
        longest = std::max<std::uint64_t>(longest, line.size());
    }
    const auto expect_kept = [&](const line_lengths& lengths) {
        ASSERT_EQ(lengths.size(), lines.size());
        for (std::size_t index = 0; index < lines.size(); ++index) {
            ASSERT_EQ(lengths[index], lines[index].size()) << "line " << index + 1;
        }
        // Stretches longer than one count of the bitmap, from every 37th line.
        EXPECT_EQ(lengths.total(0, lines.size()), input.size());
        for (std::size_t index = 0; index < lines.size(); index += 37) {
            const std::size_t end = std::min<std::size_t>(index + 700, lines.size());
            ASSERT_EQ(lengths.total(index, end), starts[end] - starts[index]) << "from line " << index + 1;
        }
        EXPECT_EQ(lengths.long_lines(), long_lines);
        EXPECT_EQ(lengths.longest(), longest);
    };
    expect_kept(run.lengths);
    std::string aside;
    run.lengths.put_aside([&](std::span<const char> bytes) { aside.append(bytes.data(), bytes.size()); });
    EXPECT_EQ(run.lengths.memory_bytes(), 0U);
    grown_array<line_number> block;
    block.resize(lines.size());
    run.lengths.take_back(
        [&](std::span<char> bytes, std::uint64_t at) {
            ASSERT_LE(at + bytes.size(), aside.size());
            std::copy_n(aside.data() + at, bytes.size(), bytes.data());
        },
        block);
    EXPECT_EQ(block.capacity(), 0U);
    expect_kept(run.lengths);
    EXPECT_EQ(run.lengths.memory_bytes(), line_lengths::memory_for(lines.size(), long_lines, 0));
}

TEST_F(count_test, every_line_length_is_noted) {
    // Lengths from 32 KiB on are kept apart; one short of it is not, nor
    // are lengths around what 2 bytes hold.
    const std::string long_lines = std::string(70'000, 'x') + "\nb\n" + std::string(65'535, 'y') + "\n" +
                                   std::string(65'534, 'z') + "\n" + std::string(32'767, 'v') + "\n" +
                                   std::string(32'766, 'u') + "\n" + std::string(200'000, 'w');
    // Long lines in a row, on the first and last line of the 32 that share
    // a word of the long lines' ranks, and now and then between.
    std::string scattered;
    for (std::size_t index = 0; index < 3000; ++index) {
        const bool is_long = index < 2 || index == 31 || index == 32 || index == 63 || index == 64 || index == 1535 ||
                             (index >= 2000 && index < 2006) || index % 97 == 0;
        scattered.append(is_long ? 32'767 + index % 5 : index % 13, 'x');
        scattered += '\n';
    }
    std::string many;
    for (int i = 0; i < 700'000; ++i) {
        many.append(static_cast<std::size_t>(i % 7), 'x');
        many += '\n';
    }
    // Counted in one part and in two, the lengths, the digest and all else
    // the count learns are the same.
    for (const std::string& input : {std::string{}, std::string{"one\ntwo\n\nthree\r\nfour"}, std::string{"a\n"},
                                     long_lines, long_lines + "\n", scattered, many, long_lines + many}) {
        count(input, MAX_LINE_COUNT, 1);
        expect_lengths_match(*run, input);
        const std::unique_ptr<run_state> one_part = std::move(run);
        count(input, MAX_LINE_COUNT, 2);
        expect_lengths_match(*run, input);
        EXPECT_EQ(run->line_count, one_part->line_count);
        EXPECT_EQ(run->added_line_end, one_part->added_line_end);
        EXPECT_EQ(run->digest.segment_bytes(), one_part->digest.segment_bytes());
        for (std::uint64_t from = 0; from < input.size(); from += run->digest.segment_bytes()) {
            EXPECT_EQ(run->digest.between(from, input.size()), one_part->digest.between(from, input.size()))
                << "from " << from;
        }
    }
}

// Lengths no file in a test can have: of 2 GiB and more, up to what 64
// bits hold, among others at every edge of their encoding.
TEST(line_lengths_test, lengths_of_any_size_are_kept_exactly) {
    const std::uint64_t huge = line_lengths::HUGE_LENGTH;
    const std::uint64_t edges[] = {0,
                                   1,
                                   0x7FFF,
                                   0x8000,
                                   0xFFFF,
                                   0x1'0000,
                                   0x1'0001,
                                   0x7FFE'FFFF,
                                   0x7FFF'0000,
                                   huge - 1,
                                   huge,
                                   huge + 1,
                                   0xFFFF'FFFF,
                                   std::uint64_t{1} << 40,
                                   3,
                                   huge,
                                   ~std::uint64_t{0} >> 1};
    line_lengths lengths;
    std::vector<std::uint64_t> added;
    std::uint64_t long_lines = 0;
    std::uint64_t huge_lines = 0;
    // Past a stretch of the bitmap, and past the slots' first block.
    for (std::size_t round = 0; round < 9000; ++round) {
        const std::uint64_t length = round % 7 == 0 ? edges[round / 7 % std::size(edges)] : round % 300;
        lengths.add(length);
        added.push_back(length);
        long_lines += length >= line_lengths::LONG_LENGTH ? 1U : 0U;
        huge_lines += length >= huge ? 1U : 0U;
    }
    lengths.shrink_to_fit();
    ASSERT_EQ(lengths.size(), added.size());
    std::uint64_t sum = 0;
    for (std::size_t index = 0; index < added.size(); ++index) {
        ASSERT_EQ(lengths[index], added[index]) << "line " << index;
        sum += added[index];
    }
    EXPECT_EQ(lengths.total(0, added.size()), sum);
    EXPECT_EQ(lengths.total(700, 1400), std::accumulate(added.begin() + 700, added.begin() + 1400, std::uint64_t{0}));
    EXPECT_EQ(lengths.longest(), ~std::uint64_t{0} >> 1);
    EXPECT_EQ(lengths.memory_bytes(), line_lengths::memory_for(added.size(), long_lines, huge_lines));
    lengths.clear();
    EXPECT_EQ(lengths.memory_bytes(), 0U);
}

// The writer reads what the count read in other pieces, from other
// places: between any two segment boundaries, the digests must agree.
TEST_F(count_test, digest_agrees_with_any_read_of_the_same_bytes) {
    std::string input;
    for (int i = 0; input.size() < 5 * DIGEST_BLOCK_BYTES + 99; ++i) {
        input += std::to_string(i * 7919) + (i % 5 == 0 ? std::string(static_cast<std::size_t>(i % 3000), '\0') : "\n");
    }
    for (const std::size_t size : {std::size_t{0}, std::size_t{10}, 2 * DIGEST_BLOCK_BYTES, input.size()}) {
        const std::string text = input.substr(0, size);
        count(text);
        const std::uint64_t segment = run->digest.segment_bytes();
        for (std::uint64_t from = 0; from <= size; from += segment) {
            for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4099}}) {
                const std::uint64_t to = run->digest.boundary_after(from + piece * 13, size);
                range_digest read{from, to};
                // From a line start before `from`, as the second part reads.
                for (std::uint64_t at = from - std::min<std::uint64_t>(from, 5); at < to; at += piece) {
                    read.feed(std::string_view{text}.substr(static_cast<std::size_t>(at), piece), at);
                }
                ASSERT_TRUE(read.complete());
                EXPECT_EQ(read.sum(), run->digest.between(from, to)) << size << " bytes, " << from << "-" << to;
            }
        }
    }
}

// However large the file, the digest keeps at most MOST_SEGMENTS sums,
// and every run of whole segments still adds up to its blocks: whether the
// blocks come out of order into one digest, or each half into a digest of
// its own as the count's parts take them, the second then absorbed.
TEST(input_digest_test, segments_double_and_still_add_up) {
    const std::uint64_t blocks = 5 * input_digest::MOST_SEGMENTS / 2 + 3;
    std::vector<std::uint64_t> hashes(blocks);
    for (std::uint64_t index = 0; index < blocks; ++index) {
        hashes[index] = (index + 1) * 0x9e3779b97f4a7c15ULL;
    }
    for (const std::uint64_t second_half : {std::uint64_t{0}, blocks / 3, 2 * blocks / 3}) {
        input_digest digest;
        input_digest later;
        for (std::uint64_t i = 0; i < blocks; ++i) {
            const std::uint64_t index = (i + blocks / 2) % blocks;
            (second_half != 0 && index >= second_half ? later : digest).add_block(index, hashes[index]);
        }
        digest.absorb(later);
        const std::uint64_t size = blocks * DIGEST_BLOCK_BYTES - 100;
        const std::uint64_t segment = digest.segment_bytes();
        EXPECT_LE((size + segment - 1) / segment, input_digest::MOST_SEGMENTS);
        EXPECT_GT((size + segment / 2 - 1) / (segment / 2), input_digest::MOST_SEGMENTS);
        for (const std::uint64_t offset :
             {std::uint64_t{0}, std::uint64_t{1}, segment, 7 * segment + 5, size / 2, size}) {
            const std::uint64_t from = digest.boundary_after(offset, size);
            for (const std::uint64_t to : {from, digest.boundary_after(from + 1, size), size}) {
                std::uint64_t expected = 0;
                for (std::uint64_t block = 0; block < blocks; ++block) {
                    const std::uint64_t start = block * DIGEST_BLOCK_BYTES;
                    expected += start >= from && start < to ? hashes[block] : 0;
                }
                EXPECT_EQ(digest.between(from, to), expected) << from << "-" << to << ", split at " << second_half;
            }
        }
    }
}

}  // namespace
}  // namespace line_shuffler
