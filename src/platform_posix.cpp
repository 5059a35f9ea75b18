// The POSIX side of the tool: files by descriptor, the clock, the terminal.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "platform.h"

static_assert(sizeof(off_t) == 8, "the input is read with 64-bit offsets");

namespace line_shuffler::platform {

namespace {

int to_fd(std::intptr_t native) {
    return static_cast<int>(native);
}

// Gives up a descriptor opened for a file that is refused.
open_error refusal(int fd, open_error why) {
    ::close(fd);
    return why;
}

// When the content and the metadata last changed, at the full resolution
// the system keeps. POSIX names the fields st_mtim and st_ctim; macOS
// names them st_mtimespec and st_ctimespec.
struct file_times {
    struct timespec modified;
    struct timespec changed;
};

// Standard output written into a file the run reads or writes would mix
// the dialogue with the lines. A terminal or /dev/null may be both.
bool is_stdout(const struct stat& file) {
    struct stat console {};
    return !S_ISCHR(file.st_mode) && ::fstat(STDOUT_FILENO, &console) == 0 && console.st_dev == file.st_dev &&
           console.st_ino == file.st_ino;
}

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

namespace {

// What a signal that ends the process must undo before it does: the raw
// terminal of the key wait, and an output written in place, which must not
// be left holding part of a shuffle. The handler puts back the action each
// signal had, so the process still ends as the signal says.
struct termios saved_terminal {};
volatile std::sig_atomic_t terminal_to_restore = 0;
volatile std::sig_atomic_t output_to_empty = -1;
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

}  // namespace

namespace {

// A descriptor that closes itself, for the steps of an open that may give
// up half-way.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) noexcept : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Another holder of either kind of lock on the file refuses the run: a
// whole-file lock (flock) and a byte-range lock (fcntl, lockf) don't see
// each other on Linux, and programs use both. The byte-range lock is taken
// as an open-file-description lock, which, like flock's, belongs to this
// open file and not to the process, so that no other close in the process
// drops it. A file system that keeps no locks can't tell of another run;
// the run then goes on without one.
bool lock_is_held_elsewhere(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return true;
    }
#if defined(F_OFD_SETLK)
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0 && (errno == EAGAIN || errno == EACCES)) {
        return true;
    }
#endif
    return false;
}

// Where a name finally leads: the folder the file is in and its name there,
// so that a link named shuffled_file.txt is written where it points.
struct place_of_file {
    std::string folder;
    std::string name;
};

bool find_place(const char* name, const struct stat& file, place_of_file& place) {
    const std::unique_ptr<char, decltype(&std::free)> real{::realpath(name, nullptr), &std::free};
    struct stat found {};
    if (!real || ::stat(real.get(), &found) != 0 || found.st_dev != file.st_dev || found.st_ino != file.st_ino) {
        return false;
    }
    const std::string path = real.get();
    const std::size_t slash = path.rfind('/');
    place.folder = slash == 0 ? std::string{"/"} : path.substr(0, slash);
    place.name = path.substr(slash + 1);
    return true;
}

// A file with no name in `folder`, for reading and writing, or -1 where
// the folder's file system can't make one.
int open_unnamed_file(int folder) {
#if defined(O_TMPFILE)
    return ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#else
    (void)folder;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// The path under which the system shows an open descriptor's file.
std::string fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

output_handle::~output_handle() {
    (void)close();
}

open_error output_handle::open(const char* name, const input_handle& input) {
    (void)close();
    // An existing file (or a link to one, such as /dev/full) is opened as it
    // is; otherwise the file is created, and O_EXCL refuses to follow a
    // dangling link to wherever it points. O_NONBLOCK keeps a FIFO without
    // a reader from stalling the open.
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int opened = ::open(name, flags);
    if (opened < 0 && errno == ENOENT) {
        opened = ::open(name, flags | O_CREAT | O_EXCL, 0666);
    }
    unique_fd named{opened};
    struct stat out {};
    struct stat in {};
    if (named.get() < 0 || ::fstat(named.get(), &out) != 0 ||
        (input.is_open() && ::fstat(to_fd(native_of(input)), &in) != 0)) {
        return open_error::system;
    }
    // Emptying the output must never empty the input it is about to read.
    if (input.is_open() && out.st_dev == in.st_dev && out.st_ino == in.st_ino) {
        return open_error::same_file;
    }
    if (is_stdout(out)) {
        return open_error::is_console;
    }
    if (lock_is_held_elsewhere(named.get())) {
        return open_error::locked;
    }
    const int status_flags = ::fcntl(named.get(), F_GETFL);
    if (status_flags < 0 || ::fcntl(named.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
        return open_error::system;
    }
    // A new, empty file is not cut: ext4 takes a file cut to nothing for one
    // being replaced, and writes it to the disk when the descriptor that cut
    // it is closed.
    if (S_ISREG(out.st_mode) && out.st_size > 0 && ::ftruncate(named.get(), 0) != 0) {
        return open_error::system;
    }
    place_of_file place;
    if (S_ISREG(out.st_mode) && find_place(name, out, place)) {
        unique_fd folder{::open(place.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
        unique_fd work{folder.get() >= 0 ? open_unnamed_file(folder.get()) : -1};
        // The name is given through /proc; without it (a bare chroot) the
        // file could never be named, and the run takes the in-place way.
        if (work.get() >= 0 && ::access(fd_path(work.get()).c_str(), F_OK) == 0) {
            adopt(folder_, folder.release());
            adopt(named_, named.release());
            final_name_ = place.name;
            mode_ = static_cast<std::uint32_t>(out.st_mode & 07777);
            owner_ = static_cast<std::int64_t>(out.st_uid);
            group_ = static_cast<std::int64_t>(out.st_gid);
            native_ = work.release();
            reads_back_ = true;
            return open_error::none;
        }
    }
    // Written in place, in order: a FIFO, a device, or a folder that can't
    // hold a file without a name.
    native_ = named.release();
    reads_back_ = false;
    if (S_ISREG(out.st_mode)) {
        empty_on_ending_signal(to_fd(native_));
    }
    return open_error::none;
}

void output_handle::start_writeback(std::uint64_t offset, std::uint64_t size) noexcept {
#if defined(SYNC_FILE_RANGE_WRITE)
    if (named_.is_open()) {
        (void)::sync_file_range(to_fd(native_), static_cast<off_t>(offset), static_cast<off_t>(size),
                                SYNC_FILE_RANGE_WRITE);
    }
#else
    (void)offset;
    (void)size;
#endif
}

int output_handle::publish() {
    published_ = true;
    if (!named_.is_open()) {
        forget_ending_signal_output();
        return 0;
    }
    const int work = to_fd(native_);
    const int folder = to_fd(native_of(folder_));
    // Without this, a power cut soon after the rename could leave the name
    // on a file whose newest bytes never reached the disk, while older ones
    // of the work space did.
    if (::fdatasync(work) != 0) {
        published_ = false;
        return errno;
    }
    // The owner can only be given back by a privileged run; the bits always.
    [[maybe_unused]] const int owned = ::fchown(work, static_cast<uid_t>(owner_), static_cast<gid_t>(group_));
    if (::fchmod(work, static_cast<mode_t>(mode_)) != 0) {
        published_ = false;
        return errno;
    }
    // The work file gets a fresh name beside the output, then the two names
    // are swapped in one step, and the old, empty file goes. A kill between
    // the steps leaves the finished shuffle, or the empty old file, under
    // the fresh name, never an unfinished one under the output's.
    const std::string through = fd_path(work);
    std::string fresh;
    int linked = -1;
    for (unsigned attempt = 0; linked != 0 && attempt < 100; ++attempt) {
        // Short whatever the output's name, so that it fits wherever that
        // name does.
        fresh = ".line_shuffler." + std::to_string(::getpid()) + "." + std::to_string(attempt);
        linked = ::linkat(AT_FDCWD, through.c_str(), folder, fresh.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno != EEXIST) {
            break;
        }
    }
    if (linked != 0) {
        published_ = false;
        return errno;
    }
    if (::renameat2(folder, fresh.c_str(), folder, final_name_.c_str(), RENAME_EXCHANGE) == 0) {
        (void)::unlinkat(folder, fresh.c_str(), 0);
        return 0;
    }
    // A file system that can't swap names, or a name removed meanwhile:
    // one rename still gives the name in one step.
    if (::renameat(folder, fresh.c_str(), folder, final_name_.c_str()) == 0) {
        return 0;
    }
    const int error = errno;
    (void)::unlinkat(folder, fresh.c_str(), 0);
    published_ = false;
    return error;
}

int output_handle::close() {
    if (!published_ && native_ >= 0 && !named_.is_open()) {
        // Written in place and not finished: what it holds is no shuffle.
        struct stat status {};
        // Its failure has been reported already; emptying is all that is left.
        if (::fstat(to_fd(native_), &status) == 0 && S_ISREG(status.st_mode)) {
            [[maybe_unused]] const int emptied = ::ftruncate(to_fd(native_), 0);
        }
    }
    forget_ending_signal_output();
    const int work = file_handle::close();
    const int named = named_.close();
    (void)folder_.close();
    final_name_.clear();
    reads_back_ = false;
    published_ = false;
    return work != 0 ? work : named;
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
