// The key wait under a pseudo-terminal: single keys, progress, signals.
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
TEST_F(key_wait_test, waits_in_single_key_mode_until_a_key_is_pressed) {
    start();
    EXPECT_TRUE(still_running());
    EXPECT_EQ(local_flags() & (ICANON | ECHO | ISIG), 0U);
    // Both files are closed and complete while it waits.
    EXPECT_EQ(read_file("shuffled_file.txt").size(), 4U);
#if defined(__linux__)
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(child) + "/fd")) {
        const fs::path target = fs::read_symlink(entry.path());
        EXPECT_NE(target.filename(), "file.txt");
        EXPECT_NE(target.filename(), "shuffled_file.txt");
    }
#endif
    ASSERT_EQ(::write(master, "x", 1), 1);
    EXPECT_EQ(finish(), 0);
    const std::string prompt = "Press any key to exit...";
    EXPECT_EQ(screen.find('x', screen.find(prompt) + prompt.size()), std::string::npos) << "the key was echoed";
    EXPECT_NE(local_flags() & ICANON, 0U);
    EXPECT_NE(local_flags() & ECHO, 0U);
}

TEST_F(key_wait_test, a_long_run_shows_progress_and_erases_it_before_the_closing_lines) {
    // Held stopped for longer than the quiet first second, the run is a long
    // one however fast the machine.
    launch(long_running_input());
    read_until("Total line number: 2500001");
    ::kill(child, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ::kill(child, SIGCONT);
    read_until("Press any key to exit...");
    ASSERT_EQ(::write(master, "x", 1), 1);
    EXPECT_EQ(finish(), 0);
    const std::size_t count_line = screen.find("Total line number: 2500001");
    const std::size_t progress = screen.find("Shuffling: ");
    const std::size_t done = screen.find("Shuffling process has done.");
    ASSERT_NE(progress, std::string::npos) << screen;
    EXPECT_LT(count_line, progress);
    // The last thing before the closing lines blanks the progress line and
    // returns to its start.
    const std::string eraser = "\r                \r";
    ASSERT_GE(done, eraser.size() + 2);
    EXPECT_EQ(screen.substr(done - eraser.size() - 2, eraser.size()), eraser);
}

TEST_F(key_wait_test, ctrl_c_is_a_key_like_any_other) {
    start();
    ASSERT_EQ(::write(master, "\x03", 1), 1);
    EXPECT_EQ(finish(), 0);
    EXPECT_NE(local_flags() & ISIG, 0U);
}

TEST_F(key_wait_test, an_arrow_key_is_one_key_and_leaves_nothing_behind) {
    start();
    ASSERT_EQ(::write(master, "\x1b[A", 3), 3);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(pending_input(), 0);
    EXPECT_NE(local_flags() & ECHO, 0U);
}

// The settings a new pseudo-terminal starts with, as the tool finds them.
struct termios fresh_terminal_settings() {
    int master = -1;
    int terminal = -1;
    struct termios settings {};
    if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) == 0) {
        ::tcgetattr(terminal, &settings);
        ::close(master);
        ::close(terminal);
    }
    return settings;
}

// Every signal that would end the process must leave the terminal exactly
// as it was found, and still end the process as that signal.
class signal_during_key_wait_test : public key_wait_test, public ::testing::WithParamInterface<int> {};

TEST_P(signal_during_key_wait_test, ends_the_run_with_the_terminal_as_it_was) {
    start();
    ::kill(child, GetParam());
    const int status = finish_status();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << "status " << status;
    const struct termios before = fresh_terminal_settings();
    const struct termios after = settings();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
}

INSTANTIATE_TEST_SUITE_P(ending_signals, signal_during_key_wait_test,
                         ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                                           SIGRTMIN + 2));
#if defined(__linux__)
INSTANTIATE_TEST_SUITE_P(linux_ending_signals, signal_during_key_wait_test, ::testing::Values(SIGPWR));
#endif

#if defined(__linux__)
std::uint64_t signal_mask(pid_t process, const std::string& which) {
    return proc_figure(process, "status", which, 16);
}

// As under nohup: the wait must not make an ignored hang-up end the run,
// nor take it over, while it takes over the others that would.
TEST_F(key_wait_test, a_signal_the_parent_ignores_stays_ignored) {
    ignored_signal = SIGHUP;
    start();
    const auto bit = [](int signal_number) { return std::uint64_t{1} << (signal_number - 1); };
    EXPECT_NE(signal_mask(child, "SigIgn") & bit(SIGHUP), 0U);
    EXPECT_EQ(signal_mask(child, "SigCgt") & bit(SIGHUP), 0U);
    EXPECT_NE(signal_mask(child, "SigCgt") & bit(SIGUSR1), 0U);
    ::kill(child, SIGHUP);
    ASSERT_EQ(::write(master, "x", 1), 1);
    EXPECT_EQ(finish(), 0);
}
#endif  // __linux__

#endif  // LINE_SHUFFLER_HAVE_PTY

}  // namespace
}  // namespace line_shuffler::end_to_end
