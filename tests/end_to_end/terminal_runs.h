// Runs under a pseudo-terminal, for the tests of the key wait, the
// progress line and runs caught in the middle.
#pragma once

#if LINE_SHUFFLER_HAVE_PTY

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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

}  // namespace line_shuffler::end_to_end

#endif  // LINE_SHUFFLER_HAVE_PTY
