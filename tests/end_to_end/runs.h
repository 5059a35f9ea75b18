// Running the real executable for the end-to-end tests: in a scratch
// folder, with its console sent to a file or a pseudo-terminal, and the
// texts it is expected to show.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support.h"

namespace line_shuffler::end_to_end {

namespace fs = std::filesystem;
using testing::model_output;
using testing::read_file;
using testing::write_file;

inline const std::string banner =
    "\n"
    "Explanation: Line shuffling in a text file\n"
    "Max line length must be 1000 characters\n"
    "Input file name must be file.txt\n"
    "Output shuffled file name will be shuffled_file.txt\n"
    "\n";
inline const std::string closing = "\nShuffling process has done.\n\nPress any key to exit...\n";
inline const std::string key_wait = "\nPress any key to exit...\n";

inline const std::string output_locked =
    "Write file is locked by another program, perhaps another run of this tool. Try again when it has finished\n";
inline const std::string write_failed = "Write file could not be written. The shuffled file is incomplete\n";
inline const std::string no_memory = "Not enough memory to shuffle this many lines\n";

enum class stdin_kind { dev_null, closed, one_byte_pipe };

struct finished_run {
    int exit_status = -1;
    std::string console;
};

// How a run is started: what its standard input is, its arguments, the
// folder it runs in, where its console goes (a file name in the test's own
// folder), what the child does just before the tool starts (set a limit,
// say), and a command that runs the tool (such as strace).
struct run_options {
    stdin_kind input = stdin_kind::dev_null;
    std::vector<std::string> arguments{};
    fs::path folder = ".";
    const char* console_path = "console.out";
    std::function<void()> in_child{};
    std::vector<std::string> prefix{};
};

// Runs the tool and waits for it, for 60 seconds at most.
finished_run run_tool(run_options options = {});

// Waits for the child, killing it if it outlives the deadline (a hang).
// Returns waitpid's status, or -1 after a hang.
int wait_status_with_deadline(pid_t child, std::chrono::seconds deadline);
// The exit status, or -1 after a hang or a death by signal.
int wait_with_deadline(pid_t child, std::chrono::seconds deadline);

std::int64_t seconds_now();

// The shuffled file must be the model's output for the order of one of the
// seconds during which the run went on.
void expect_shuffled_in_window(const std::string& input, std::int64_t from, std::int64_t to,
                               const char* path = "shuffled_file.txt");

// Enough short lines to keep the tool busy for more than a second.
std::string long_running_input();
// "line 0" to "line count-1", one a line.
std::string numbered_lines(int count);
// The count line the tool shows for `input`.
std::string count_line(const std::string& input);
// Sets a resource limit, soft and hard, in the child.
void set_limit(int resource, std::uint64_t bytes);

#if defined(__linux__)
// A figure /proc shows for a process: the value of `field` in
// /proc/<pid>/<file>, such as the signal mask "SigIgn" in "status" (base 16)
// or the bytes read so far, "rchar" in "io".
std::uint64_t proc_figure(pid_t process, const std::string& file, const std::string& field, int base = 10);
#endif

}  // namespace line_shuffler::end_to_end
