// Runs the tool refuses or that fail on their own: the message, the key
// wait, status 1, and what is left of the files.
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
#if LINE_SHUFFLER_HAVE_MOUNT
#include <sys/mount.h>
#endif

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

using failure_test = testing::scratch_folder_test;

// Failures: message, key wait, status 1, and "done" is never claimed.

TEST_F(failure_test, missing_input_is_reported_and_no_output_is_made) {
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + "Read file is not opened. Check the file name. It must be file.txt\n" + key_wait);
    EXPECT_FALSE(fs::exists("shuffled_file.txt"));
}

TEST_F(failure_test, input_that_is_not_a_regular_file_is_refused_without_blocking) {
    fs::create_directory("file.txt");
    write_file("shuffled_file.txt", "keep me");
    finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + "Read file is not opened. Check the file name. It must be file.txt\n" + key_wait);
    EXPECT_EQ(read_file("shuffled_file.txt"), "keep me");

    fs::remove("file.txt");
    ASSERT_EQ(::mkfifo("file.txt", 0644), 0);  // nobody will ever write to it
    run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(read_file("shuffled_file.txt"), "keep me");
}

TEST_F(failure_test, output_that_cannot_be_opened_is_reported) {
    write_file("file.txt", "a\nb");
    fs::create_directory("shuffled_file.txt");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(
        run.console,
        banner + "Write file is not opened. Check that shuffled_file.txt can be created in this folder\n" + key_wait);
}

TEST_F(failure_test, output_through_a_dangling_link_is_not_created) {
    const std::string refused =
        banner + "Write file is not opened. Check that shuffled_file.txt can be created in this folder\n" + key_wait;
    write_file("file.txt", "a\nb");
    fs::create_symlink("nowhere/shuffled.txt", "shuffled_file.txt");
    finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, refused);

    // A target that could be created is still not: the link may point
    // anywhere, and following it would write where the user never asked.
    fs::remove("shuffled_file.txt");
    fs::create_symlink("missing_target.txt", "shuffled_file.txt");
    run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, refused);
    EXPECT_FALSE(fs::exists("missing_target.txt"));
    EXPECT_TRUE(fs::is_symlink("shuffled_file.txt"));
    EXPECT_EQ(fs::read_symlink("shuffled_file.txt"), "missing_target.txt");
    EXPECT_EQ(read_file("file.txt"), "a\nb");
}

TEST_F(failure_test, output_that_is_the_input_is_refused_and_the_input_kept) {
    write_file("file.txt", "precious\nlines");
    fs::create_symlink("file.txt", "shuffled_file.txt");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(
        run.console,
        banner + "Write file is the read file. shuffled_file.txt must not be file.txt under another name\n" + key_wait);
    EXPECT_EQ(read_file("file.txt"), "precious\nlines");
}

// Any program may hold the lock a run takes, not only another run, and
// with either kind of lock: a whole-file one or a byte-range one, which on
// Linux don't see each other.
TEST_F(failure_test, output_locked_by_another_program_is_refused_and_left_alone) {
    const std::pair<const char*, std::function<bool(int)>> locks[] = {
        {"flock", [](int fd) { return ::flock(fd, LOCK_EX) == 0; }},
        {"lockf", [](int fd) { return ::lockf(fd, F_LOCK, 0) == 0; }},
        {"a byte-range lock on a few bytes",
         [](int fd) {
             struct flock some {};
             some.l_type = F_WRLCK;
             some.l_whence = SEEK_SET;
             some.l_start = 2;
             some.l_len = 3;
             return ::fcntl(fd, F_SETLK, &some) == 0;
         }},
    };
    write_file("file.txt", "a\nb");
    for (const auto& [kind, take_lock] : locks) {
        write_file("shuffled_file.txt", "keep me");
        const int holder = ::open("shuffled_file.txt", O_RDWR | O_CLOEXEC);
        ASSERT_TRUE(take_lock(holder)) << kind;
        const finished_run run = run_tool();
        ::close(holder);
        EXPECT_EQ(run.exit_status, 1) << kind;
        EXPECT_EQ(run.console, banner + output_locked + key_wait) << kind;
        EXPECT_EQ(read_file("shuffled_file.txt"), "keep me") << kind;
    }
}

// The console sent into a file the run reads or writes would mix the
// dialogue with the lines: refused before any line is touched.
TEST_F(failure_test, console_sent_to_the_input_or_the_output_is_refused) {
    const std::string refused =
        "Console output goes to file.txt or shuffled_file.txt. Send it elsewhere, or the dialogue mixes with the "
        "lines\n";
    write_file("file.txt", "a\nb");
    finished_run run = run_tool({.console_path = "shuffled_file.txt"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + refused + key_wait);
    EXPECT_EQ(read_file("file.txt"), "a\nb");

    // The shell empties file.txt before the tool starts; the dialogue is
    // then all it holds.
    run = run_tool({.console_path = "file.txt"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + refused + key_wait);
}

#if defined(__linux__)
// Linux's /dev/full fails every write as a full disk would.
TEST_F(failure_test, a_full_disk_is_not_reported_as_success) {
    write_file("file.txt", "a\nb\nc");
    fs::create_symlink("/dev/full", "shuffled_file.txt");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + "Total line number: 3\n" +
                               "Write file could not be written. The shuffled file is incomplete\n" + key_wait);
}

TEST_F(failure_test, a_console_that_cannot_be_written_fails_the_run) {
    write_file("file.txt", "a\nb");
    const finished_run run = run_tool({.console_path = "/dev/full"});
    EXPECT_EQ(run.exit_status, 1);
    // The shuffle itself was done.
    EXPECT_EQ(read_file("shuffled_file.txt").size(), 4U);
}
#endif  // __linux__

#if LINE_SHUFFLER_HAVE_MOUNT
// A small file system, mounted for the test (as root only), holding the
// whole folder: the output fills it part-way through.
class small_disk_test : public testing::scratch_folder_test {
protected:
    void SetUp() override {
        scratch_folder_test::SetUp();
        fs::create_directory("small_disk");
        if (::mount("tmpfs", "small_disk", "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a 64 KiB tmpfs (needs root): " << std::strerror(errno);
        }
        mounted_ = true;
    }

    void TearDown() override {
        if (mounted_) {
            ::umount2((folder() / "small_disk").c_str(), MNT_DETACH);
        }
        scratch_folder_test::TearDown();
    }

private:
    bool mounted_ = false;
};

// The lines fill the device part-way; or, from an input kept elsewhere, the
// lines would fit but the tables put aside beside them (6 bytes a line of
// 7) don't. Either way what was written goes with the run, and the
// output's name stays on an empty file.
TEST_F(small_disk_test, output_or_its_tables_that_fill_the_device_are_reported) {
    for (const bool input_elsewhere : {false, true}) {
        SCOPED_TRACE(input_elsewhere ? "tables do not fit" : "lines do not fit");
        std::string input;
        for (int i = 0; input.size() < 40'000; ++i) {
            input += input_elsewhere ? std::to_string(100'000 + i) + "\n"
                                     : "line " + std::to_string(i) + " of a file that fills most of a small disk\n";
        }
        if (input_elsewhere) {
            write_file("file.txt", input);
            fs::create_symlink(folder() / "file.txt", "small_disk/file.txt");
        } else {
            write_file("small_disk/file.txt", input);
        }
        const auto line_count = testing::model_lines(input).size();
        const std::uintmax_t room_before = fs::space("small_disk").available;
        // The console goes to the scratch folder, which has room.
        const finished_run run = run_tool({.folder = "small_disk"});
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.console, banner + "Total line number: " + std::to_string(line_count) + "\n" +
                                   "Write file could not be written. The shuffled file is incomplete\n" + key_wait);
        EXPECT_EQ(room_before >= input.size() + 4096, input_elsewhere);
        EXPECT_LT(room_before, input.size() + 6 * line_count);
        EXPECT_EQ(fs::file_size("small_disk/shuffled_file.txt"), 0U);
        EXPECT_EQ(fs::space("small_disk").available, room_before);
        EXPECT_EQ(read_file("small_disk/file.txt"), input);
        fs::remove("small_disk/file.txt");
        fs::remove("small_disk/shuffled_file.txt");
    }
}
#endif  // LINE_SHUFFLER_HAVE_MOUNT

}  // namespace
}  // namespace line_shuffler::end_to_end
