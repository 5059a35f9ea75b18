// Complete runs: the whole dialogue, and the shuffled file byte for byte.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "run_state.h"
#include "runs.h"

namespace line_shuffler::end_to_end {
namespace {

using dialogue_test = testing::scratch_folder_test;

// Runs the tool on `input`: a complete run with the whole dialogue, and a
// shuffled file that holds the input's lines in the order drawn.
void expect_complete_shuffle(const std::string& input, line_number line_count) {
    write_file("file.txt", input);
    const std::int64_t from = seconds_now();
    const finished_run run = run_tool();
    const std::int64_t to = seconds_now();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: " + std::to_string(line_count) + "\n" + closing);
    expect_shuffled_in_window(input, from, to);
    EXPECT_EQ(read_file("file.txt"), input);
}

TEST_F(dialogue_test, complete_run_shows_the_whole_dialogue_and_shuffles) {
    expect_complete_shuffle("a\nb\nc", 3);
}

TEST_F(dialogue_test, empty_input_counts_one_line_and_writes_a_line_end) {
    write_file("file.txt", "");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: 1\n" + closing);
    EXPECT_EQ(read_file("shuffled_file.txt"), "\n");
}

TEST_F(dialogue_test, larger_input_with_awkward_bytes_is_shuffled_exactly) {
    std::string input;
    for (int i = 0; i < 5000; ++i) {
        input += "line " + std::to_string(i) + (i % 3 == 0 ? std::string("\0\r", 2) : "") + "\n";
    }
    input += std::string(70'000, 'L');
    expect_complete_shuffle(input, 5001);
}

TEST_F(dialogue_test, a_long_run_into_a_file_prints_only_the_dialogue) {
    write_file("file.txt", long_running_input());
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: 2500001\n" + closing);
}

TEST_F(dialogue_test, arguments_change_nothing) {
    write_file("file.txt", "x\ny");
    const finished_run run = run_tool({.arguments = {"other.txt", "-h", "--output=elsewhere"}});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: 2\n" + closing);
    EXPECT_TRUE(fs::exists("shuffled_file.txt"));
    EXPECT_FALSE(fs::exists("other.txt"));
    EXPECT_FALSE(fs::exists("elsewhere"));
}

TEST_F(dialogue_test, an_older_longer_shuffled_file_is_replaced) {
    write_file("shuffled_file.txt", std::string(10'000, 'o'));
    write_file("file.txt", "p\nq");
    EXPECT_EQ(run_tool().exit_status, 0);
    const std::string output = read_file("shuffled_file.txt");
    EXPECT_TRUE(output == "p\nq\n" || output == "q\np\n") << output;
}

TEST_F(dialogue_test, the_key_wait_never_hangs_without_a_console) {
    write_file("file.txt", "1\n2");
    EXPECT_EQ(run_tool({.input = stdin_kind::closed}).exit_status, 0);
    EXPECT_EQ(run_tool({.input = stdin_kind::one_byte_pipe}).exit_status, 0);
}

}  // namespace
}  // namespace line_shuffler::end_to_end
