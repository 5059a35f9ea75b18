// The POSIX side of the tool: the input by descriptor, the signals that
// must undo what a run changed, the clock, the terminal. The output and its
// publishing are in platform_posix_output.cpp. The side is Linux's: the
// output needs O_PATH, renameat2 and /proc/self/fd.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "platform.h"
#include "platform_posix.h"

static_assert(sizeof(off_t) == 8, "the input is read with 64-bit offsets");

namespace line_shuffler::platform {

using posix::is_stdout;
using posix::read_fd_at;
using posix::to_fd;
using posix::write_fd_at;

namespace {

// Gives up a descriptor opened for a file that is refused.
open_error refusal(int fd, open_error why) {
    ::close(fd);
    return why;
}

// When the content and the metadata last changed, at the full resolution
// the system keeps.
struct file_times {
    struct timespec modified;
    struct timespec changed;
};

file_times times_of(const struct stat& status) {
    return {status.st_mtim, status.st_ctim};
}

}  // namespace

namespace posix {

bool is_stdout(const struct stat& file) {
    struct stat console {};
    return !S_ISCHR(file.st_mode) && ::fstat(STDOUT_FILENO, &console) == 0 && console.st_dev == file.st_dev &&
           console.st_ino == file.st_ino;
}

}  // namespace posix

int file_handle::close() {
    if (native_ < 0) {
        return 0;
    }
    const int fd = to_fd(std::exchange(native_, -1));
    // The descriptor is gone even if close reports an error, so no retry.
    return ::close(fd) == 0 ? 0 : errno;
}

open_error input_handle::open(const char* name) {
    (void)close();
    // Non-blocking, so that a FIFO under the input's name can't stall the
    // open; it is refused below like every other non-regular file.
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return open_error::system;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return refusal(fd, open_error::system);
    }
    if (!S_ISREG(status.st_mode)) {
        return refusal(fd, open_error::system);
    }
    if (is_stdout(status)) {
        return refusal(fd, open_error::is_console);
    }
    native_ = fd;
    return open_error::none;
}

namespace posix {

io_result read_fd_at(int fd, std::span<char> buffer, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t got = ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<io_result>(done);
}

bool write_fd_at(int fd, std::span<const char> data, std::uint64_t offset) {
    while (!data.empty()) {
        const ssize_t put = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(put));
        offset += static_cast<std::uint64_t>(put);
    }
    return true;
}

}  // namespace posix

io_result input_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_fd_at(to_fd(native_), buffer, offset);
}

bool scratch_handle::open() {
#if defined(O_TMPFILE)
    const char* const from_environment = std::getenv("TMPDIR");
    for (const char* folder : {from_environment, "/var/tmp", "/tmp"}) {
        if (folder == nullptr || *folder == '\0') {
            continue;
        }
        const int fd = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            adopt(*this, fd);
            return true;
        }
    }
#endif
    return false;
}

bool scratch_handle::write_at(std::span<const char> data, std::uint64_t offset) {
    return write_fd_at(to_fd(native_), data, offset);
}

io_result scratch_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_fd_at(to_fd(native_), buffer, offset);
}

namespace {

// The whole pages of `page` bytes within a block: where they start and how
// many bytes they take (0 for none).
std::pair<char*, std::size_t> whole_pages(void* block, std::size_t bytes, std::size_t page) {
    if (block == nullptr) {
        return {nullptr, 0};
    }
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::size_t skipped = (page - start % page) % page;
    if (skipped >= bytes) {
        return {nullptr, 0};
    }
    const std::size_t kept = (bytes - skipped) / page * page;
    return {static_cast<char*>(block) + skipped, kept};
}

}  // namespace

void use_large_pages(void* block, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    const auto [first, size] = whole_pages(block, bytes, std::size_t{2} << 20);
    if (size != 0) {
        // Only advice: a system that refuses it keeps small pages.
        (void)::madvise(first, size, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)bytes;
#endif
}

void discard(void* block, std::size_t bytes) noexcept {
    const auto [first, size] = whole_pages(block, bytes, static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    if (size != 0) {
        (void)::madvise(first, size, MADV_DONTNEED);
    }
}

file_identity input_handle::identity() const {
    struct stat status {};
    if (::fstat(to_fd(native_), &status) != 0) {
        return {};
    }
    const file_times times = times_of(status);
    return {true,
            static_cast<std::int64_t>(status.st_size),
            static_cast<std::int64_t>(times.modified.tv_sec),
            static_cast<std::int64_t>(times.modified.tv_nsec),
            static_cast<std::int64_t>(times.changed.tv_sec),
            static_cast<std::int64_t>(times.changed.tv_nsec),
            static_cast<std::uint64_t>(status.st_dev),
            static_cast<std::uint64_t>(status.st_ino)};
}

namespace {

// What a signal that ends the process must undo before it does: the raw
// terminal of the key wait, an output written in place, which must not be
// left holding part of a shuffle, and a work name linked beside the output
// for the moment of the swap. The handler puts back the action each signal
// had, so the process still ends as the signal says.
struct termios saved_terminal {};
volatile std::sig_atomic_t terminal_to_restore = 0;
volatile std::sig_atomic_t output_to_empty = -1;
volatile std::sig_atomic_t name_folder = -1;
char name_to_remove[64]{};
struct sigaction previous_actions[NSIG] {};
bool taken_over[NSIG]{};
int takers = 0;

extern "C" void undo_and_die(int signal_number) {
    // The process is ending either way; there is nothing to do on failure.
    // The signal is blocked in here, so it arrives again, with the action
    // it had before, as soon as the handler returns.
    if (terminal_to_restore != 0) {
        (void)::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    }
    if (output_to_empty >= 0) {
        [[maybe_unused]] const int emptied = ::ftruncate(output_to_empty, 0);
    }
    if (name_folder >= 0) {
        (void)::unlinkat(name_folder, name_to_remove, 0);
    }
    (void)::sigaction(signal_number, &previous_actions[signal_number], nullptr);
    (void)::raise(signal_number);
}

// Signals whose default action ends the process, which are all but these.
bool ends_process_by_default(int signal_number) {
    switch (signal_number) {
        case SIGKILL:  // can't be caught
        case SIGSTOP:
        case SIGTSTP:
        case SIGTTIN:
        case SIGTTOU:
        case SIGCONT:
        case SIGCHLD:
        case SIGURG:
        case SIGWINCH:
            return false;
        default:
            return true;
    }
}

// A signal the parent ignores (as under nohup) stays ignored; numbers the
// C library keeps for itself refuse the query and are skipped.
void take_over_ending_signals() {
    if (takers++ > 0) {
        return;
    }
    struct sigaction undo {};
    undo.sa_handler = undo_and_die;
    (void)::sigfillset(&undo.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction& previous = previous_actions[signal_number];
        if (!ends_process_by_default(signal_number) || ::sigaction(signal_number, nullptr, &previous) != 0 ||
            ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN)) {
            continue;
        }
        taken_over[signal_number] = ::sigaction(signal_number, &undo, nullptr) == 0;
    }
}

void give_back_ending_signals() {
    if (takers == 0 || --takers > 0) {
        return;
    }
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (taken_over[signal_number]) {
            (void)::sigaction(signal_number, &previous_actions[signal_number], nullptr);
            taken_over[signal_number] = false;
        }
    }
}

}  // namespace

namespace posix {

void empty_on_ending_signal(int fd) {
    output_to_empty = fd;
    take_over_ending_signals();
}

void forget_ending_signal_output() {
    if (output_to_empty >= 0) {
        output_to_empty = -1;
        give_back_ending_signals();
    }
}

void remove_on_ending_signal(int folder, const std::string& name) {
    if (name.size() >= sizeof name_to_remove) {
        return;  // the next run removes it
    }
    name.copy(name_to_remove, name.size());
    name_to_remove[name.size()] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    name_folder = folder;
    take_over_ending_signals();
}

void forget_ending_signal_name() {
    if (name_folder >= 0) {
        name_folder = -1;
        give_back_ending_signals();
    }
}

}  // namespace posix

void prepare_console() {
    // POSIX streams have no text mode. A reader that goes away and the
    // file-size limit then show up as failed writes (EPIPE, EFBIG) with
    // their message, rather than as a silent death. Neither signal can be
    // refused for a valid number, so there is no failure to check.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

unsigned usable_processors() noexcept {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    }
#endif
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

std::int64_t calendar_seconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::int64_t monotonic_milliseconds() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

bool stdout_is_terminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

namespace {

// Puts the terminal into single-key mode and takes it back out, whatever
// happens in between.
class raw_terminal {
public:
    raw_terminal() {
        saved_ = ::tcgetattr(STDIN_FILENO, &saved_terminal) == 0;
        if (!saved_) {
            return;
        }
        terminal_to_restore = 1;
        take_over_ending_signals();
        struct termios raw = saved_terminal;
        // No line editing, no echo, and Ctrl-C, Ctrl-Z, Ctrl-S are keys like
        // any other.
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG | IEXTEN));
        raw.c_iflag &= static_cast<tcflag_t>(~(IXON));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    raw_terminal(const raw_terminal&) = delete;
    raw_terminal& operator=(const raw_terminal&) = delete;
    ~raw_terminal() {
        if (!saved_) {
            return;
        }
        (void)::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_to_restore = 0;
        give_back_ending_signals();
    }
    bool active() const noexcept { return active_; }

private:
    bool saved_ = false;
    bool active_ = false;
};

// Returns false at the end of input or on an error.
bool read_one_byte() {
    char byte = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got == 1;
    }
}

// A key such as an arrow sends several bytes; the first ended the wait, the
// rest must not reach the shell that runs next.
void discard_rest_of_key() {
    constexpr int settle_ms = 30;
    struct pollfd input {
        STDIN_FILENO, POLLIN, 0
    };
    char scrap[64];
    while (::poll(&input, 1, settle_ms) == 1 && (input.revents & POLLIN) != 0) {
        if (::read(STDIN_FILENO, scrap, sizeof scrap) <= 0) {
            break;
        }
    }
    ::tcflush(STDIN_FILENO, TCIFLUSH);
}

}  // namespace

void wait_for_key() {
    if (::isatty(STDIN_FILENO) == 1) {
        const raw_terminal terminal;
        if (terminal.active()) {
            if (read_one_byte()) {
                discard_rest_of_key();
            }
            return;
        }
    }
    (void)read_one_byte();
}

}  // namespace line_shuffler::platform
