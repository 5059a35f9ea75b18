// The POSIX side of the tool: files by descriptor, the clock, the terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <utility>

#include "platform.h"

static_assert(sizeof(off_t) == 8, "the input is read with 64-bit offsets");

namespace line_shuffler::platform {

namespace {

int to_fd(std::intptr_t native) {
    return static_cast<int>(native);
}

// The system's refusal, by the error number it left in errno; a descriptor
// already opened is given up first, keeping that number.
open_result system_refusal(int fd = -1) {
    const open_result refused{open_error::system, errno};
    if (fd >= 0) {
        ::close(fd);
    }
    return refused;
}

open_result refusal(int fd, open_error why) {
    ::close(fd);
    return {why, 0};
}

// When the content and the metadata last changed, at the full resolution
// the system keeps. POSIX names the fields st_mtim and st_ctim; macOS
// names them st_mtimespec and st_ctimespec.
struct file_times {
    struct timespec modified;
    struct timespec changed;
};

file_times times_of(const struct stat& status) {
#if defined(__APPLE__)
    return {status.st_mtimespec, status.st_ctimespec};
#else
    return {status.st_mtim, status.st_ctim};
#endif
}

}  // namespace

int file_handle::close() {
    if (native_ < 0) {
        return 0;
    }
    const int fd = to_fd(std::exchange(native_, -1));
    // The descriptor is gone even if close reports an error, so no retry.
    return ::close(fd) == 0 ? 0 : errno;
}

open_result input_handle::open(const char* name) {
    (void)close();
    // Non-blocking, so that a FIFO under the input's name can't stall the
    // open; it is refused below like every other non-regular file.
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return system_refusal();
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return system_refusal(fd);
    }
    if (!S_ISREG(status.st_mode)) {
        return refusal(fd, open_error::not_regular_file);
    }
    native_ = fd;
    return {};
}

namespace {

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

// The same file as `wanted`, opened again for reading and writing, or -1.
// The name may have come to mean another file in between; that one is not
// taken.
int reopen_for_reading(const char* name, const struct stat& wanted) {
    const int fd = ::open(name, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    struct stat found {};
    if (::fstat(fd, &found) != 0 || found.st_dev != wanted.st_dev || found.st_ino != wanted.st_ino) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

io_result input_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_fd_at(to_fd(native_), buffer, offset);
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

open_result output_handle::open(const char* name, const input_handle& input) {
    (void)close();
    // An existing file (or a link to one, such as /dev/full) is opened as it
    // is; otherwise the file is created, and O_EXCL refuses to follow a
    // dangling link to wherever it points. O_NONBLOCK keeps a FIFO without
    // a reader from stalling the open.
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(name, flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(name, flags | O_CREAT | O_EXCL, 0666);
    }
    if (fd < 0) {
        return system_refusal();
    }
    struct stat out {};
    struct stat in {};
    if (::fstat(fd, &out) != 0 || (input.is_open() && ::fstat(to_fd(native_of(input)), &in) != 0)) {
        return system_refusal(fd);
    }
    // Emptying the output must never empty the input it is about to read.
    if (input.is_open() && out.st_dev == in.st_dev && out.st_ino == in.st_ino) {
        return refusal(fd, open_error::same_file);
    }
    // Only a regular file is opened again, so a FIFO never sees the run as
    // one of its readers. The first descriptor is kept until the file is
    // emptied, for the reason below.
    holds_regions_ = false;
    int kept = fd;
    if (S_ISREG(out.st_mode)) {
        kept = reopen_for_reading(name, out);
        holds_regions_ = kept >= 0;
        kept = holds_regions_ ? kept : fd;
    }
    const auto give_up = [&](open_result refused) {
        if (kept != fd) {
            ::close(kept);
        }
        ::close(fd);
        return refused;
    };
    // flock, not fcntl: its lock belongs to this open file and not to the
    // process, so no other close in the process can drop it, and it goes
    // when the process ends, however it ends. A file system that keeps no
    // locks can't tell of another run; the run then goes on without one.
    if (::flock(kept, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return give_up({open_error::locked, 0});
    }
    const int status_flags = ::fcntl(kept, F_GETFL);
    if (status_flags < 0 || ::fcntl(kept, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
        return give_up({open_error::system, errno});
    }
    // ext4 takes a file cut to nothing for one being replaced, and writes
    // all of it to the disk when the descriptor that cut it is closed: at
    // the end of the run, a wait of a second a few hundred megabytes. So an
    // empty file is not cut, and a full one is cut through the descriptor
    // closed right here, before anything is written.
    if (S_ISREG(out.st_mode) && out.st_size > 0 && ::ftruncate(fd, 0) != 0) {
        return give_up({open_error::system, errno});
    }
    if (kept != fd) {
        ::close(fd);
    }
    native_ = kept;
    return {};
}

bool output_handle::write_all(std::span<const char> data) {
    while (!data.empty()) {
        const ssize_t put = ::write(to_fd(native_), data.data(), data.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(put));
    }
    return true;
}

bool output_handle::write_at(std::span<const char> data, std::uint64_t offset) {
    while (!data.empty()) {
        const ssize_t put = ::pwrite(to_fd(native_), data.data(), data.size(), static_cast<off_t>(offset));
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

io_result output_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_fd_at(to_fd(native_), buffer, offset);
}

void prepare_console() {
    // POSIX streams have no text mode. A reader that goes away and the
    // file-size limit then show up as failed writes (EPIPE, EFBIG) with
    // their message, rather than as a silent death. Neither signal can be
    // refused for a valid number, so there is no failure to check.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
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

// The terminal's settings from before the key wait, and the actions the
// wait took over from every signal that would end the process, for the
// handler to put back if the process is ended while the terminal is raw.
struct termios saved_terminal {};
struct sigaction previous_actions[NSIG] {};
bool taken_over[NSIG]{};

extern "C" void restore_terminal_and_die(int signal_number) {
    // The process is ending either way; there is nothing to do on failure.
    // The signal is blocked in here, so it arrives again, with the action
    // it had before the wait, as soon as the handler returns.
    (void)::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
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

// Puts the terminal into single-key mode and takes it back out, whatever
// happens in between.
class raw_terminal {
public:
    raw_terminal() {
        saved_ = ::tcgetattr(STDIN_FILENO, &saved_terminal) == 0;
        if (!saved_) {
            return;
        }
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
        for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
            if (taken_over[signal_number]) {
                (void)::sigaction(signal_number, &previous_actions[signal_number], nullptr);
                taken_over[signal_number] = false;
            }
        }
    }
    bool active() const noexcept { return active_; }

private:
    // A signal the parent ignores (as under nohup) stays ignored; numbers
    // the C library keeps for itself refuse the query and are skipped.
    static void take_over_ending_signals() {
        struct sigaction restore {};
        restore.sa_handler = restore_terminal_and_die;
        (void)::sigfillset(&restore.sa_mask);
        for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
            struct sigaction& previous = previous_actions[signal_number];
            if (!ends_process_by_default(signal_number) || ::sigaction(signal_number, nullptr, &previous) != 0 ||
                ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN)) {
                continue;
            }
            taken_over[signal_number] = ::sigaction(signal_number, &restore, nullptr) == 0;
        }
    }

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
