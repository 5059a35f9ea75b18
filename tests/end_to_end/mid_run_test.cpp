// Runs caught in the middle: rewrites of the input, a second run, and
// signals in every step.
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
#include "terminal_runs.h"

namespace line_shuffler::end_to_end {
namespace {

#if LINE_SHUFFLER_HAVE_PTY
// file.txt rewritten in place (same file, same name) by another program.
struct rewrite {
    const char* what;
    std::string (*rewritten)(const std::string& input);
};

std::ostream& operator<<(std::ostream& out, const rewrite& r) {
    return out << r.what;
}

class input_rewrite_test : public mid_shuffle_test, public ::testing::WithParamInterface<rewrite> {
protected:
    void rewrite_and_expect_it_reported() {
        write_file("file.txt", GetParam().rewritten(input));
        resume();
        EXPECT_EQ(finish_after_key(), 1);
        EXPECT_NE(screen.find("Read file was changed by another program while it was shuffled. The shuffled file "
                              "can't be trusted\r\n"),
                  std::string::npos)
            << screen;
        EXPECT_EQ(screen.find("Shuffling process has done."), std::string::npos);
    }
};

TEST_P(input_rewrite_test, mid_write_is_reported_not_passed_as_done) {
    pause_mid_write();
    rewrite_and_expect_it_reported();
}

#if defined(__linux__)
// What the count has read already must be compared, too: a rewrite then
// would otherwise be part of what the end of the write is compared with.
TEST_P(input_rewrite_test, mid_count_is_reported_not_passed_as_done) {
    pause_mid_count();
    rewrite_and_expect_it_reported();
}
#endif

INSTANTIATE_TEST_SUITE_P(
    rewrites, input_rewrite_test,
    ::testing::Values(rewrite{"shorter", [](const std::string& in) { return in.substr(0, in.size() / 2); }},
                      rewrite{"longer", [](const std::string& in) { return in + "one more line\nand another\n"; }},
                      // The lines no longer end where they were counted.
                      rewrite{"same size, newlines moved", [](const std::string& in) { return in.substr(1) + in[0]; }},
                      // Lines split in the first 32 KiB, which a count paused later
                      // has read already: more lines than counted.
                      rewrite{"same size, more newlines",
                              [](const std::string& in) {
                                  std::string out = in;
                                  std::replace(out.begin(), out.begin() + 32 * 1024, '5', '\n');
                                  return out;
                              }},
                      // Every line ends where it did: only the file's times tell.
                      rewrite{"same size and newlines, other digits", [](const std::string& in) {
                                  std::string out = in;
                                  std::replace(out.begin(), out.end(), '1', '2');
                                  return out;
                              }}));

TEST_F(mid_shuffle_test, a_second_run_in_the_same_folder_is_refused_and_the_first_finishes) {
    pause_mid_write();
    const finished_run second = run_tool();
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.console, banner + output_locked + key_wait);
    EXPECT_EQ(fs::file_size("shuffled_file.txt"), written_at_pause) << "the second run touched the output";
    resume();
    EXPECT_EQ(finish_after_key(), 0);
    expect_shuffled_in_window(input, launched_at, seconds_now());
}

// The terminal is only made raw for the key wait, so a run ended while it
// shuffles, even by a signal that no handler sees, leaves it untouched.
TEST_F(mid_shuffle_test, killed_while_shuffling_the_terminal_stays_normal) {
    pause_after_count();
    expect_normal_terminal();
    ::kill(child, SIGKILL);
    const int status = finish_status();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    expect_normal_terminal();
    EXPECT_EQ(screen.find("Shuffling process has done."), std::string::npos);
}

TEST_F(mid_shuffle_test, ctrl_c_while_shuffling_ends_the_run_and_the_terminal_stays_normal) {
    pause_after_count();
    ASSERT_EQ(::write(master, "\x03", 1), 1);  // the interrupt waits for the run to go on
    resume();
    const int status = finish_status();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "Ctrl-C did not end the shuffle";
    expect_normal_terminal();
    EXPECT_EQ(screen.find("Shuffling process has done."), std::string::npos);
}

// Whatever signal ends a run, in whatever step, the output's name is left
// on an empty file and nothing else is left in the folder: never a file of
// every line that could pass for a finished shuffle.
struct stop_point {
    const char* step;
    void (mid_shuffle_test::*pause)();
};

// Shown by name, so that test names stay the same from run to run.
void PrintTo(const stop_point& point, std::ostream* out) {
    *out << point.step;
}

class stopped_run_test : public mid_shuffle_test, public ::testing::WithParamInterface<std::tuple<int, stop_point>> {};

TEST_P(stopped_run_test, leaves_an_empty_output_and_nothing_else) {
    const auto [signal_number, point] = GetParam();
    (this->*point.pause)();
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_EQ(::kill(child, signal_number), 0);
    resume();
    const int status = finish_status();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << "status " << status;
    EXPECT_EQ(fs::file_size("shuffled_file.txt"), 0U);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(".")) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"file.txt", "shuffled_file.txt"}));
    expect_normal_terminal();
}

const stop_point stop_points[] = {
#if defined(__linux__)
    {"count", &mid_shuffle_test::pause_mid_count},
#endif
    {"draw", &mid_shuffle_test::pause_after_count},
    {"fill", &mid_shuffle_test::pause_mid_write},
    {"order", &mid_shuffle_test::pause_mid_order},
};

std::string stopped_run_name(const ::testing::TestParamInfo<std::tuple<int, stop_point>>& run) {
    const int signal_number = std::get<0>(run.param);
    const std::string name = signal_number == SIGINT    ? "INT"
                             : signal_number == SIGHUP  ? "HUP"
                             : signal_number == SIGTERM ? "TERM"
                             : signal_number == SIGQUIT ? "QUIT"
                                                        : "KILL";
    return name + "_in_" + std::get<1>(run.param).step;
}

INSTANTIATE_TEST_SUITE_P(signals, stopped_run_test,
                         ::testing::Combine(::testing::Values(SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGKILL),
                                            ::testing::ValuesIn(stop_points)),
                         stopped_run_name);

#endif  // LINE_SHUFFLER_HAVE_PTY

}  // namespace
}  // namespace line_shuffler::end_to_end
