// The real executable, run in a scratch folder: console transcript, exit
// status and files, including every way a run can fail.
#include <fcntl.h>
#include <poll.h>
#if LINE_SHUFFLER_HAVE_PTY
#include <pty.h>
#endif
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#if LINE_SHUFFLER_HAVE_MOUNT
#include <sys/mount.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
#include <vector>

#include "run_state.h"
#include "support.h"

namespace line_shuffler {
namespace {

namespace fs = std::filesystem;
using testing::model_output;
using testing::read_file;
using testing::write_file;

const std::string banner =
    "\n"
    "Explanation: Line shuffling in a text file\n"
    "Max line length must be 1000 characters\n"
    "Input file name must be file.txt\n"
    "Output shuffled file name will be shuffled_file.txt\n"
    "\n";
const std::string closing = "\nShuffling process has done.\n\nPress any key to exit...\n";
const std::string key_wait = "\nPress any key to exit...\n";

enum class stdin_kind { dev_null, closed, one_byte_pipe };

struct finished_run {
    int exit_status = -1;
    std::string console;
};

// Waits for the child, killing it if it outlives the deadline (a hang).
// Returns waitpid's status, or -1 after a hang.
int wait_status_with_deadline(pid_t child, std::chrono::seconds deadline) {
    const auto give_up = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "the tool did not end by itself";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

// The exit status, or -1 after a hang or a death by signal.
int wait_with_deadline(pid_t child, std::chrono::seconds deadline) {
    const int status = wait_status_with_deadline(child, deadline);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the tool in `folder` with standard output sent to a file in the
// current folder. `in_child` runs just before the tool starts; `prefix` is
// a command that runs the tool (such as strace).
finished_run run_tool(stdin_kind input = stdin_kind::dev_null, std::vector<std::string> arguments = {},
                      const fs::path& folder = ".", const char* console_path = "console.out",
                      const std::function<void()>& in_child = {}, std::vector<std::string> prefix = {}) {
    int feed[2] = {-1, -1};
    if (input == stdin_kind::one_byte_pipe && ::pipe(feed) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int console = ::open(console_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(console, STDOUT_FILENO);
        ::close(console);
        if (input == stdin_kind::dev_null) {
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
            ::close(null);
        } else if (input == stdin_kind::closed) {
            ::close(STDIN_FILENO);
        } else {
            ::dup2(feed[0], STDIN_FILENO);
            ::close(feed[0]);
            ::close(feed[1]);
        }
        std::vector<char*> argv;
        for (auto& word : prefix) {
            argv.push_back(word.data());
        }
        argv.push_back(const_cast<char*>(LINE_SHUFFLER_EXE));
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(127);
        }
        if (in_child) {
            in_child();
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (input == stdin_kind::one_byte_pipe) {
        ::close(feed[0]);
        (void)::write(feed[1], "k", 1);  // one key; the pipe stays open
    }
    finished_run result;
    result.exit_status = wait_with_deadline(child, std::chrono::seconds(60));
    if (input == stdin_kind::one_byte_pipe) {
        ::close(feed[1]);
    }
    if (fs::is_regular_file(console_path)) {
        result.console = read_file(console_path);
        fs::remove(console_path);
    }
    return result;
}

std::int64_t seconds_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// The shuffled file must be the model's output for the order of one of the
// seconds during which the run went on.
void expect_shuffled_in_window(const std::string& input, std::int64_t from, std::int64_t to,
                               const char* path = "shuffled_file.txt") {
    const std::string output = read_file(path);
    const auto line_count = static_cast<line_number>(testing::model_lines(input).size());
    for (std::int64_t second = from; second <= to; ++second) {
        if (output == model_output(input, testing::order_drawn_in(line_count, second))) {
            return;
        }
    }
    ADD_FAILURE() << path << " is not the input in any order drawn between " << from << " and " << to;
}

// Enough short lines to keep the tool busy for more than a second.
std::string long_running_input() {
    std::string input;
    for (int i = 0; i < 2'500'000; ++i) {
        input += std::to_string(i);
        input += '\n';
    }
    return input;
}

using end_to_end_test = testing::scratch_folder_test;

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

TEST_F(end_to_end_test, complete_run_shows_the_whole_dialogue_and_shuffles) {
    expect_complete_shuffle("a\nb\nc", 3);
}

TEST_F(end_to_end_test, empty_input_counts_one_line_and_writes_a_line_end) {
    write_file("file.txt", "");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: 1\n" + closing);
    EXPECT_EQ(read_file("shuffled_file.txt"), "\n");
}

TEST_F(end_to_end_test, larger_input_with_awkward_bytes_is_shuffled_exactly) {
    std::string input;
    for (int i = 0; i < 5000; ++i) {
        input += "line " + std::to_string(i) + (i % 3 == 0 ? std::string("\0\r", 2) : "") + "\n";
    }
    input += std::string(70'000, 'L');
    expect_complete_shuffle(input, 5001);
}

TEST_F(end_to_end_test, a_long_run_into_a_file_prints_only_the_dialogue) {
    write_file("file.txt", long_running_input());
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: 2500001\n" + closing);
}

TEST_F(end_to_end_test, arguments_change_nothing) {
    write_file("file.txt", "x\ny");
    const finished_run run = run_tool(stdin_kind::dev_null, {"other.txt", "-h", "--output=elsewhere"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.console, banner + "Total line number: 2\n" + closing);
    EXPECT_TRUE(fs::exists("shuffled_file.txt"));
    EXPECT_FALSE(fs::exists("other.txt"));
    EXPECT_FALSE(fs::exists("elsewhere"));
}

TEST_F(end_to_end_test, an_older_longer_shuffled_file_is_replaced) {
    write_file("shuffled_file.txt", std::string(10'000, 'o'));
    write_file("file.txt", "p\nq");
    EXPECT_EQ(run_tool().exit_status, 0);
    const std::string output = read_file("shuffled_file.txt");
    EXPECT_TRUE(output == "p\nq\n" || output == "q\np\n") << output;
}

TEST_F(end_to_end_test, the_key_wait_never_hangs_without_a_console) {
    write_file("file.txt", "1\n2");
    EXPECT_EQ(run_tool(stdin_kind::closed).exit_status, 0);
    EXPECT_EQ(run_tool(stdin_kind::one_byte_pipe).exit_status, 0);
}

// Failures: message, key wait, status 1, and "done" is never claimed.

TEST_F(end_to_end_test, missing_input_is_reported_and_no_output_is_made) {
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + "Read file is not opened. Check the file name. It must be file.txt\n" + key_wait);
    EXPECT_FALSE(fs::exists("shuffled_file.txt"));
}

TEST_F(end_to_end_test, input_that_is_not_a_regular_file_is_refused_without_blocking) {
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

TEST_F(end_to_end_test, output_that_cannot_be_opened_is_reported) {
    write_file("file.txt", "a\nb");
    fs::create_directory("shuffled_file.txt");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(
        run.console,
        banner + "Write file is not opened. Check that shuffled_file.txt can be created in this folder\n" + key_wait);
}

TEST_F(end_to_end_test, output_through_a_dangling_link_is_not_created) {
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

TEST_F(end_to_end_test, output_that_is_the_input_is_refused_and_the_input_kept) {
    write_file("file.txt", "precious\nlines");
    fs::create_symlink("file.txt", "shuffled_file.txt");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(
        run.console,
        banner + "Write file is the read file. shuffled_file.txt must not be file.txt under another name\n" + key_wait);
    EXPECT_EQ(read_file("file.txt"), "precious\nlines");
}

const std::string output_locked =
    "Write file is locked by another program, perhaps another run of this tool. Try again when it has finished\n";

// Any program may hold the lock a run takes, not only another run, and
// with either kind of lock: a whole-file one or a byte-range one, which on
// Linux don't see each other.
TEST_F(end_to_end_test, output_locked_by_another_program_is_refused_and_left_alone) {
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
TEST_F(end_to_end_test, console_sent_to_the_input_or_the_output_is_refused) {
    const std::string refused =
        "Console output goes to file.txt or shuffled_file.txt. Send it elsewhere, or the dialogue mixes with the "
        "lines\n";
    write_file("file.txt", "a\nb");
    finished_run run = run_tool(stdin_kind::dev_null, {}, ".", "shuffled_file.txt");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + refused + key_wait);
    EXPECT_EQ(read_file("file.txt"), "a\nb");

    // The shell empties file.txt before the tool starts; the dialogue is
    // then all it holds.
    run = run_tool(stdin_kind::dev_null, {}, ".", "file.txt");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + refused + key_wait);
}

#if defined(__linux__)
// Linux's /dev/full fails every write as a full disk would.
TEST_F(end_to_end_test, a_full_disk_is_not_reported_as_success) {
    write_file("file.txt", "a\nb\nc");
    fs::create_symlink("/dev/full", "shuffled_file.txt");
    const finished_run run = run_tool();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + "Total line number: 3\n" +
                               "Write file could not be written. The shuffled file is incomplete\n" + key_wait);
}

TEST_F(end_to_end_test, a_console_that_cannot_be_written_fails_the_run) {
    write_file("file.txt", "a\nb");
    const finished_run run = run_tool(stdin_kind::dev_null, {}, ".", "/dev/full");
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

TEST_F(small_disk_test, output_that_fills_the_device_part_way_is_reported) {
    std::string input;
    for (int i = 0; input.size() < 40'000; ++i) {
        input += "line " + std::to_string(i) + " of a file that fills most of a small disk\n";
    }
    write_file("small_disk/file.txt", input);
    const auto line_count = testing::model_lines(input).size();
    const std::uintmax_t room_before = fs::space("small_disk").available;
    // The console goes to the scratch folder, which has room.
    const finished_run run = run_tool(stdin_kind::dev_null, {}, "small_disk");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + "Total line number: " + std::to_string(line_count) + "\n" +
                               "Write file could not be written. The shuffled file is incomplete\n" + key_wait);
    // The lines fill the device part-way; what was written goes with the
    // run, and the output's name stays on an empty file.
    EXPECT_GT(room_before, 0U);
    EXPECT_LT(room_before, input.size());
    EXPECT_EQ(fs::file_size("small_disk/shuffled_file.txt"), 0U);
    EXPECT_EQ(fs::space("small_disk").available, room_before);
    EXPECT_EQ(read_file("small_disk/file.txt"), input);
}
#endif  // LINE_SHUFFLER_HAVE_MOUNT

// Faults from outside the tool, each forced on a real run: the run ends
// with status 0 and an exact shuffle, or with status 1 and its message and
// the key wait; never by a signal, never with "done" over a wrong file.
using fault_run_test = testing::scratch_folder_test;

const std::string write_failed = "Write file could not be written. The shuffled file is incomplete\n";
const std::string no_memory = "Not enough memory to shuffle this many lines\n";

std::string numbered_lines(int count) {
    std::string input;
    for (int i = 0; i < count; ++i) {
        input += "line " + std::to_string(i) + "\n";
    }
    return input;
}

std::string count_line(const std::string& input) {
    return "Total line number: " + std::to_string(testing::model_lines(input).size()) + "\n";
}

void set_limit(int resource, rlim_t bytes) {
    const struct rlimit limit { bytes, bytes };
    ::setrlimit(resource, &limit);
}

TEST_F(fault_run_test, output_past_the_file_size_limit_is_a_failed_write) {
    const std::string input = numbered_lines(20'000);
    write_file("file.txt", input);
    const finished_run run =
        run_tool(stdin_kind::dev_null, {}, ".", "console.out", [] { set_limit(RLIMIT_FSIZE, 64 * 1024); });
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner + count_line(input) + write_failed + key_wait);
}

TEST_F(fault_run_test, a_console_that_is_a_closed_pipe_gives_status_1) {
    write_file("file.txt", "a\nb");
    const finished_run run = run_tool(stdin_kind::dev_null, {}, ".", "console.out", [] {
        int ends[2];
        if (::pipe(ends) == 0) {
            ::close(ends[0]);
            ::dup2(ends[1], STDOUT_FILENO);
        }
    });
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
        const finished_run run =
            run_tool(stdin_kind::dev_null, {}, ".", "console.out", [kib] { set_limit(RLIMIT_AS, kib * 1024); });
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
                                           // The folder is opened first, then the work file in it.
                                           "-e", "inject=openat:error=EOPNOTSUPP:when=2"};
        if (!on_third_write.empty()) {
            strace.insert(strace.end(), {"-e", "inject=write:" + on_third_write + ":when=3"});
        }
        return run_tool(stdin_kind::dev_null, {}, ".", "console.out", {}, strace);
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
        const finished_run run =
            run_tool(stdin_kind::dev_null, {}, ".", "console.out", {},
                     {"strace", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-P",
                      (folder() / "file.txt").string(), "-e", "inject=pread64:error=EIO:when=" + std::to_string(nth)});
        EXPECT_EQ(run.exit_status, 1) << "read " << nth;
        EXPECT_EQ(run.console, console) << "read " << nth;
    }
}

#if LINE_SHUFFLER_HAVE_PTY
// Under a pseudo-terminal: the tool waits for one key, unechoed, and leaves
// the terminal as it found it.
class key_wait_test : public testing::scratch_folder_test {
protected:
    void start(const std::string& input = "a\nb") {
        launch(input);
        if (HasFatalFailure()) {
            return;
        }
        read_until("Press any key to exit...");
        if (HasFatalFailure()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }

    // Starts the tool on `input` without waiting for anything.
    void launch(const std::string& input) {
        write_file("file.txt", input);
        child = ::forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (ignored_signal != 0) {
                ::signal(ignored_signal, SIG_IGN);
            }
            // A signal that dumps core must not leave a core file in the
            // folder whose files a test checks.
            const struct rlimit no_core {};
            ::setrlimit(RLIMIT_CORE, &no_core);
            ::execl(LINE_SHUFFLER_EXE, LINE_SHUFFLER_EXE, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // The parent keeps the terminal's other end open, to look at its
        // settings and at what is left in its input queue.
        terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
    }

    void TearDown() override {
        if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        ::close(master);
        ::close(terminal);
        scratch_folder_test::TearDown();
    }

    void read_until(const std::string& text) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < give_up) {
            struct pollfd ready {
                master, POLLIN, 0
            };
            if (::poll(&ready, 1, 100) == 1) {
                char chunk[256];
                const ssize_t got = ::read(master, chunk, sizeof chunk);
                if (got <= 0) {
                    break;
                }
                screen.append(chunk, static_cast<std::size_t>(got));
            }
        }
        ASSERT_NE(screen.find(text), std::string::npos) << screen;
    }

    // Drains what the tool printed after the key, then its exit status.
    int finish() {
        const int status = finish_status();
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // As finish(), but waitpid's whole status, to tell a death by signal.
    int finish_status() {
        const int status = wait_status_with_deadline(child, std::chrono::seconds(10));
        child = -1;
        for (;;) {
            struct pollfd ready {
                master, POLLIN, 0
            };
            char chunk[256];
            if (::poll(&ready, 1, 50) != 1) {
                break;
            }
            const ssize_t got = ::read(master, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            screen.append(chunk, static_cast<std::size_t>(got));
        }
        return status;
    }

    bool still_running() const { return ::waitpid(child, nullptr, WNOHANG) == 0; }

    struct termios settings() const {
        struct termios now {};
        ::tcgetattr(terminal, &now);
        return now;
    }

    tcflag_t local_flags() const { return settings().c_lflag; }

    int pending_input() const {
        int bytes = -1;
        ::ioctl(terminal, FIONREAD, &bytes);
        return bytes;
    }

    int ignored_signal = 0;  // set to SIG_IGN for the tool, as nohup does
    pid_t child = -1;
    int master = -1;
    int terminal = -1;
    std::string screen;
};

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
// A figure /proc shows for a process: the value of `field` in
// /proc/<pid>/<file>, such as the signal mask "SigIgn" in "status" (base 16)
// or the bytes read so far, "rchar" in "io".
std::uint64_t proc_figure(pid_t process, const std::string& file, const std::string& field, int base = 10) {
    std::istringstream figures(read_file("/proc/" + std::to_string(process) + "/" + file));
    for (std::string line; std::getline(figures, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1), nullptr, base);
        }
    }
    return 0;
}

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

// A run caught in the middle. The test stops the child with SIGSTOP at a
// point it can see (the count line on the terminal, or what the process has
// read or written so far), checks that the step it wanted is still going
// on, acts, and lets it go on with SIGCONT. Nothing depends on how fast the
// tool is.
class mid_shuffle_test : public key_wait_test {
public:
    void launch_long_shuffle() {
        launched_at = seconds_now();
        launch(long_input());
    }

    const std::string& long_input() {
        if (input.empty()) {
            for (int i = 0; i < 3'000'000; ++i) {
                input += std::to_string(i);
                input += '\n';
            }
        }
        return input;
    }

    void pause_after_count() {
        launch_long_shuffle();
        read_until("Total line number: 3000001");
        pause();
    }

    // The first step has written some of the regions, not all.
    void pause_mid_write() { pause_between("wchar:", 1024, long_input().size()); }

    // The second step has put some regions in order, not all.
    void pause_mid_order() { pause_between("wchar:", long_input().size() + 1024, 2 * long_input().size()); }

    // Pauses a run once it has read or written (`figure`, as /proc names
    // it) `from` bytes and fewer than `to`; the console's few hundred bytes
    // count too. The output's name stays on an empty file until the end, so
    // only the process can tell. A busy machine may stop it too late; then
    // the run is started again.
    void pause_between(const char* figure, std::uintmax_t from, std::uintmax_t to) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            launch_long_shuffle();
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (io_figure(child, figure) < from) {
                ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the run never wrote " << from << " bytes";
            }
            stop_child();
            if (HasFatalFailure()) {
                return;
            }
            if (io_figure(child, figure) < to) {
                check_paused();
                return;
            }
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            ::close(master);
            ::close(terminal);
            screen.clear();
            fs::remove("shuffled_file.txt");
        }
        FAIL() << "every run went past " << to << " bytes before it could be stopped";
    }

    void stop_child() {
        ASSERT_EQ(::kill(child, SIGSTOP), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
        ASSERT_TRUE(WIFSTOPPED(status)) << "the run ended before it could be paused";
    }

    void pause() {
        stop_child();
        if (!HasFatalFailure()) {
            check_paused();
        }
    }

    void check_paused() {
        written_at_pause = fs::file_size("shuffled_file.txt");
        // A run done writing has written every byte twice.
        ASSERT_LT(io_figure(child, "wchar:"), 2 * input.size()) << "paused after the write";
    }

    static std::uintmax_t io_figure(pid_t process, const std::string& figure) {
        std::ifstream io{"/proc/" + std::to_string(process) + "/io"};
        std::string key;
        for (std::uintmax_t value = 0; io >> key >> value;) {
            if (key == figure) {
                return value;
            }
        }
        return 0;
    }

    void resume() { ASSERT_EQ(::kill(child, SIGCONT), 0); }

#if defined(__linux__)
    // Stops the run once it has read a few blocks of the count, and before
    // it has read the whole input.
    void pause_mid_count() {
        pause_between("rchar:", 16 * COUNT_READ_SIZE, long_input().size());
    }
#endif

    // After a failure the tool still waits for a key; give it one.
    int finish_after_key() {
        read_until("Press any key to exit...");
        EXPECT_EQ(::write(master, "x", 1), 1);
        return finish();
    }

    void expect_normal_terminal() const {
        EXPECT_NE(local_flags() & ICANON, 0U);
        EXPECT_NE(local_flags() & ECHO, 0U);
        EXPECT_NE(local_flags() & ISIG, 0U);
    }

    std::string input;
    std::int64_t launched_at = 0;
    std::uintmax_t written_at_pause = 0;
};

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
}  // namespace line_shuffler
