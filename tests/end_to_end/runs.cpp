#include "runs.h"

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

namespace line_shuffler::end_to_end {

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

int wait_with_deadline(pid_t child, std::chrono::seconds deadline) {
    const int status = wait_status_with_deadline(child, deadline);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

finished_run run_tool(run_options options) {
    const stdin_kind input = options.input;
    const char* const console_path = options.console_path;
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
        for (auto& word : options.prefix) {
            argv.push_back(word.data());
        }
        argv.push_back(const_cast<char*>(LINE_SHUFFLER_EXE));
        for (auto& argument : options.arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::chdir(options.folder.c_str()) != 0) {
            ::_exit(127);
        }
        if (options.in_child) {
            options.in_child();
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

void expect_shuffled_in_window(const std::string& input, std::int64_t from, std::int64_t to, const char* path) {
    const std::string output = read_file(path);
    const auto line_count = static_cast<line_number>(testing::model_lines(input).size());
    for (std::int64_t second = from; second <= to; ++second) {
        if (output == model_output(input, testing::order_drawn_in(line_count, second))) {
            return;
        }
    }
    ADD_FAILURE() << path << " is not the input in any order drawn between " << from << " and " << to;
}

std::string long_running_input() {
    std::string input;
    for (int i = 0; i < 2'500'000; ++i) {
        input += std::to_string(i);
        input += '\n';
    }
    return input;
}

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

void set_limit(int resource, std::uint64_t bytes) {
    const struct rlimit limit { static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes) };
    ::setrlimit(resource, &limit);
}

#if defined(__linux__)
std::uint64_t proc_figure(pid_t process, const std::string& file, const std::string& field, int base) {
    std::istringstream figures(read_file("/proc/" + std::to_string(process) + "/" + file));
    for (std::string line; std::getline(figures, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1), nullptr, base);
        }
    }
    return 0;
}

#endif

}  // namespace line_shuffler::end_to_end
