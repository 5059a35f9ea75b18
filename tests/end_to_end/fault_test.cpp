// Faults forced on real runs from outside the tool.
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

// Faults from outside the tool, each forced on a real run: the run ends
// with status 0 and an exact shuffle, or with status 1 and its message and
// the key wait; never by a signal, never with "done" over a wrong file.
using fault_run_test = testing::scratch_folder_test;

TEST_F(fault_run_test, output_past_the_file_size_limit_is_a_failed_write) {
    const std::string input = numbered_lines(20'000);
    write_file("file.txt", input);
    const finished_run run = run_tool({.in_child = [] { set_limit(RLIMIT_FSIZE, 64 * 1024); }});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + count_line(input) + write_failed + key_wait);
}

TEST_F(fault_run_test, a_console_that_is_a_closed_pipe_gives_status_1) {
    write_file("file.txt", "a\nb");
    const finished_run run = run_tool({.in_child = [] {
        int ends[2];
        if (::pipe(ends) == 0) {
            ::close(ends[0]);
            ::dup2(ends[1], STDOUT_FILENO);
        }
    }});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(read_file("shuffled_file.txt").size(), 4U);
}

TEST_F(fault_run_test, an_output_fifo_whose_reader_goes_away_is_a_failed_write) {
    const std::string input = numbered_lines(100'000);  // far more than a pipe holds
    write_file("file.txt", input);
    ASSERT_EQ(::mkfifo("shuffled_file.txt", 0644), 0);
    const int reader = ::open("shuffled_file.txt", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    // A reader that takes the first bytes and leaves.
    const pid_t taker = ::fork();
    if (taker == 0) {
        struct pollfd ready {
            reader, POLLIN, 0
        };
        char some[4096];
        ::_exit(::poll(&ready, 1, 30'000) == 1 && ::read(reader, some, sizeof some) > 0 ? 0 : 1);
    }
    ::close(reader);
    const finished_run run = run_tool();
    EXPECT_EQ(wait_with_deadline(taker, std::chrono::seconds(30)), 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + count_line(input) + write_failed + key_wait);
}

// A FIFO can't hold the lines out of order: it gets them in order, once,
// from passes over the input, as the file would have held them.
TEST_F(fault_run_test, an_output_fifo_read_to_its_end_gets_the_whole_shuffle) {
    const std::string input = numbered_lines(100'000);
    write_file("file.txt", input);
    ASSERT_EQ(::mkfifo("shuffled_file.txt", 0644), 0);
    // A FIFO without a reader is refused at once, so one that reads nothing
    // is there before the tool starts, however late the real reader comes.
    const int early_reader = ::open("shuffled_file.txt", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(early_reader, 0);
    const pid_t reader = ::fork();
    if (reader == 0) {
        const int from = ::open("shuffled_file.txt", O_RDONLY);
        const int into = ::open("copy.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char some[65536];
        ssize_t got = 0;
        while ((got = ::read(from, some, sizeof some)) > 0) {
            if (::write(into, some, static_cast<std::size_t>(got)) != got) {
                ::_exit(1);
            }
        }
        ::_exit(got == 0 ? 0 : 1);
    }
    const std::int64_t from = seconds_now();
    const finished_run run = run_tool();
    const std::int64_t to = seconds_now();
    ::close(early_reader);
    EXPECT_EQ(wait_with_deadline(reader, std::chrono::seconds(30)), 0);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + count_line(input) + closing);
    expect_shuffled_in_window(input, from, to, "copy.txt");
}

#if defined(__linux__)
// A /proc file is regular but reports a size of 0 whatever it holds.
TEST_F(fault_run_test, a_proc_file_is_shuffled_whole) {
    fs::create_symlink("/proc/filesystems", "file.txt");
    const std::string input = read_file("/proc/filesystems");
    const std::int64_t from = seconds_now();
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + count_line(input) + closing);
    expect_shuffled_in_window(input, from, seconds_now());
}

// Linux enforces an address-space limit, which not every system does.
// From too little address space for the C library to load (nothing of the
// tool runs; the loader says so and exits with 127) up to enough for a few
// whole runs, through every place in between where an allocation fails:
// the run's state, the marks, the order array.
TEST_F(fault_run_test, every_address_space_limit_gives_a_shuffle_or_the_memory_message) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than these limits";
#endif
    const std::string input = numbered_lines(100'000);
    write_file("file.txt", input);
    int shuffled = 0;
    int refused_before_count = 0;
    int order_refused = 0;
    for (rlim_t kib = 4096; kib <= 16384 && shuffled < 3; kib += 16) {
        const std::int64_t from = seconds_now();
        const finished_run run = run_tool({.in_child = [kib] { set_limit(RLIMIT_AS, kib * 1024); }});
        if (run.exit_status == 127 && run.console.empty()) {
            continue;
        }
        if (run.exit_status == 0) {
            ++shuffled;
            expect_shuffled_in_window(input, from, seconds_now());
            continue;
        }
        ASSERT_EQ(run.exit_status, 1) << kib << " KiB";
        if (run.console == banner + no_memory + key_wait) {
            ++refused_before_count;
        } else if (run.console == banner + count_line(input) + no_memory + key_wait) {
            ++order_refused;
        } else {
            ADD_FAILURE() << kib << " KiB: " << run.console;
        }
    }
    EXPECT_GT(refused_before_count, 0);
    EXPECT_GT(order_refused, 0);
    EXPECT_GT(shuffled, 0);
}
#endif  // __linux__

// A folder whose file system can't make a file without a name (strace
// refuses the open that makes it, as vfat or NFS would): the lines go to
// the named file in their order, once; a run that fails or is ended by a
// signal empties it.
TEST_F(fault_run_test, without_an_unnamed_work_file_an_unfinished_run_empties_the_output) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is missing or may not trace here";
    }
    const std::string input = numbered_lines(100'000);
    write_file("file.txt", input);
    const std::string here = folder().string();
    const auto traced = [&](const std::string& on_third_write) {
        // LeakSanitizer can't work under ptrace.
        std::vector<std::string> strace = {"strace", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-P", here,
                                           "-P", here + "/shuffled_file.txt",
                                           // The folder is found from the current one, by
                                           // descriptor, so the work file's is the first open
                                           // of a path strace sees in it.
                                           "-e", "inject=openat:error=EOPNOTSUPP:when=1"};
        if (!on_third_write.empty()) {
            strace.insert(strace.end(), {"-e", "inject=write:" + on_third_write + ":when=3"});
        }
        return run_tool({.prefix = strace});
    };
    const std::int64_t from = seconds_now();
    finished_run run = traced("");
    EXPECT_EQ(run.exit_status, 0);
    expect_shuffled_in_window(input, from, seconds_now());

    run = traced("error=ENOSPC");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + count_line(input) +
                               "Write file could not be written. The shuffled file is incomplete\n" + key_wait);
    EXPECT_EQ(fs::file_size("shuffled_file.txt"), 0U);

    run = traced("signal=SIGTERM");
    EXPECT_EQ(run.exit_status, -1) << "not ended by the signal";
    EXPECT_EQ(fs::file_size("shuffled_file.txt"), 0U);
}

// strace makes the nth positioned read of file.txt fail with EIO.
TEST_F(fault_run_test, a_read_that_fails_is_reported_in_the_count_and_in_the_write) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is missing or may not trace here";
    }
    const std::string input = numbered_lines(1000);
    write_file("file.txt", input);
    const std::string read_failed = "Read file could not be read to its end. The shuffled file is incomplete\n";
    // The count of so small a file takes two reads (its bytes, then the
    // end); the third is the writer's.
    for (const auto& [nth, console] : {std::pair{1, banner + read_failed + key_wait},
                                       std::pair{3, banner + count_line(input) + read_failed + key_wait}}) {
        const finished_run run = run_tool({.prefix = {"strace", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                                                      "-P", (folder() / "file.txt").string(), "-e",
                                                      "inject=pread64:error=EIO:when=" + std::to_string(nth)}});
        EXPECT_EQ(run.exit_status, 1) << "read " << nth;
        EXPECT_EQ(run.console, console) << "read " << nth;
    }
}

}  // namespace
}  // namespace line_shuffler::end_to_end
