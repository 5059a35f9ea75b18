// The POSIX side of the output: its open, its lock, its work file without
// a name, and publishing that file under the output's name or copying it
// in.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform.h"
#include "platform_posix.h"

namespace line_shuffler::platform {

using posix::empty_on_ending_signal;
using posix::forget_ending_signal_output;
using posix::is_stdout;
using posix::read_fd_at;
using posix::to_fd;
using posix::unique_fd;
using posix::write_fd_at;

namespace {

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

// Where a name finally leads: the folder the file is in, held open, and the
// file's name there, so that a link named shuffled_file.txt is written where
// it points. Each link is followed from the folder it lies in, by
// descriptor, and no path is ever put together, so a folder of any depth is
// found. Returns 0 or the system's error number: ESTALE where the name no
// longer leads to `file` (it was replaced meanwhile).
int find_place(const char* name, const struct stat& file, unique_fd& folder, std::string& base) {
    // As many links in a row as the system itself follows.
    constexpr int most_links = 40;
    folder.reset(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string path = name;
    for (int links = 0; folder.get() >= 0; ++links) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            const std::string up = slash == 0 ? std::string{"/"} : path.substr(0, slash);
            folder.reset(::openat(folder.get(), up.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            path.erase(0, slash + 1);
        }
        struct stat found {};
        if (folder.get() < 0 || ::fstatat(folder.get(), path.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno;
        }
        if (!S_ISLNK(found.st_mode)) {
            base = path;
            return found.st_dev == file.st_dev && found.st_ino == file.st_ino ? 0 : ESTALE;
        }
        if (links == most_links) {
            return ELOOP;
        }
        // The link's name becomes where it points, read from its own folder.
        std::string target(256, '\0');
        ssize_t got = 0;
        while ((got = ::readlinkat(folder.get(), path.c_str(), target.data(), target.size())) >= 0 &&
               static_cast<std::size_t>(got) == target.size()) {
            target.resize(target.size() * 2);
        }
        if (got < 0) {
            return errno;
        }
        target.resize(static_cast<std::size_t>(got));
        path = std::move(target);
    }
    return errno;
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

// Errors that say the run is short of something, not that the folder can't
// hold a file without a name: they fail the open rather than change the way
// the output is written.
bool is_shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// The path under which the system shows an open descriptor's file.
std::string fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Whether the work file may take the output's name by swapping the two: not
// where the output has other names (they would keep the emptied old file),
// is a mount point of its own (a bind-mounted file), or lies in a folder
// that keeps every name it is given (append-only or unchangeable), where a
// name linked in for the swap could never be removed again.
bool name_can_be_swapped(int folder, const std::string& name, const struct stat& output) {
    if (output.st_nlink > 1) {
        return false;
    }
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx about {};
    if (::statx(folder, "", AT_EMPTY_PATH, 0, &about) == 0 &&
        (about.stx_attributes & about.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0) {
        return false;
    }
    if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, 0, &about) == 0 &&
        (about.stx_attributes & about.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return false;
    }
#endif
    return true;
}

// The name a work file has for a moment beside the output, while the two
// are swapped: short whatever the output's name, so that it fits wherever
// that name does.
constexpr std::string_view WORK_NAME_PREFIX = ".line_shuffler.";

std::string work_name(unsigned attempt) {
    return std::string{WORK_NAME_PREFIX} + std::to_string(::getpid()) + "." + std::to_string(attempt);
}

bool is_work_name(std::string_view name) {
    const auto is_number = [](std::string_view digits) {
        return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!name.starts_with(WORK_NAME_PREFIX)) {
        return false;
    }
    name.remove_prefix(WORK_NAME_PREFIX.size());
    const std::size_t dot = name.find('.');
    return dot != std::string_view::npos && is_number(name.substr(0, dot)) && is_number(name.substr(dot + 1));
}

// A run keeps a lock on each file it gives a work name to, for as long as
// the name may stand, so a work name whose file nobody locks was left by a
// run that was killed between giving it and removing it.
void remove_if_left_behind(int folder, const char* name) {
    const unique_fd file{::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat opened {};
    struct stat named {};
    if (file.get() < 0 || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino) {
        (void)::unlinkat(folder, name, 0);
    }
}

void remove_work_names_left_behind(int folder) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return;  // a folder that may not be listed keeps what it holds
    }
    const auto close_listing = [](DIR* entries) { ::closedir(entries); };
    const std::unique_ptr<DIR, decltype(close_listing)> entries{::fdopendir(listing), close_listing};
    if (!entries) {
        ::close(listing);
        return;
    }
    while (const dirent* entry = ::readdir(entries.get())) {
        if (is_work_name(entry->d_name)) {
            remove_if_left_behind(folder, entry->d_name);
        }
    }
}

// The output's work file, made before the output is emptied so that a run
// that can't make one leaves the old output as it was.
struct work_file {
    unique_fd folder;
    std::string name;  // the output's name in `folder`
    unique_fd file;
    bool swaps_name = false;
};

// Makes the work file for the regular file `out`, opened as `name`. Returns
// 0, with no work file where the output is to be written in place (the
// folder can't hold a file without a name), or the error that fails the
// open.
int make_work_file(const char* name, const struct stat& out, work_file& work) {
    const int not_found = find_place(name, out, work.folder, work.name);
    if (not_found != 0) {
        return not_found;
    }
    work.file.reset(open_unnamed_file(work.folder.get()));
    if (work.file.get() < 0) {
        return is_shortage(errno) ? errno : 0;
    }
    // The lock tells a later run that the work name this file may get is
    // not left behind.
    (void)::flock(work.file.get(), LOCK_EX | LOCK_NB);
    // The name is given through /proc; without it (a bare chroot) the file
    // can only be copied into the output.
    work.swaps_name =
        ::access(fd_path(work.file.get()).c_str(), F_OK) == 0 && name_can_be_swapped(work.folder.get(), work.name, out);
    if (work.swaps_name) {
        remove_work_names_left_behind(work.folder.get());
    }
    return 0;
}

// What a test has a step of publishing fail with, instead of asking the
// system; all 0 in a run.
int injected_errors[static_cast<std::size_t>(publish_step::count)]{};

bool injected(publish_step step) noexcept {
    const int error = injected_errors[static_cast<std::size_t>(step)];
    if (error != 0) {
        errno = error;
    }
    return error != 0;
}

// The value of a file's extended attribute, or nothing where it has none
// or it can't be read.
std::optional<std::vector<char>> attribute_of(int file, const char* name) {
    std::vector<char> value;
    for (;;) {
        const ssize_t size = ::fgetxattr(file, name, nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::fgetxattr(file, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return value;
        }
        if (errno != ERANGE) {  // grown meanwhile: asked again
            return std::nullopt;
        }
    }
}

constexpr const char* ACCESS_ACL = "system.posix_acl_access";

// The old file's access ACL goes to the work file, and where it had none,
// the work file keeps none either (a folder's default ACL may have given it
// one). False where it can't be done.
bool carry_access_acl(int work, int old) {
    const auto acl = attribute_of(old, ACCESS_ACL);
    if (!acl && (errno == ENODATA || errno == ENOTSUP)) {
        return ::fremovexattr(work, ACCESS_ACL) == 0 || errno == ENODATA || errno == ENOTSUP;
    }
    return acl && ::fsetxattr(work, ACCESS_ACL, acl->data(), acl->size(), 0) == 0;
}

// Whether the work file holds every extended attribute of the old file
// but the access ACL alike: a user's own attributes, a security label. A
// label decides who may use the file as much as the bits do, and neither
// kind can in general be given by the run, so a difference means copying.
bool holds_old_attributes(int work, int old) {
    std::vector<char> names;
    for (;;) {
        const ssize_t size = ::flistxattr(old, nullptr, 0);
        if (size < 0) {
            return errno == ENOTSUP;
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(old, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) {
            return false;
        }
    }
    for (std::size_t at = 0; at < names.size();) {
        const char* const name = names.data() + at;
        const std::size_t length = std::char_traits<char>::length(name);
        at += length + 1;
        if (std::string_view{name, length} == ACCESS_ACL) {
            continue;
        }
        const auto was = attribute_of(old, name);
        if (!was || attribute_of(work, name) != was) {
            return false;
        }
    }
    return true;
}

// Gives the work file what decides who may use the old one: its owner and
// group, its access ACL (or none) and its permission bits. False where any
// of it can't be given: the output is then copied into instead, so that
// publishing never changes who may read or write it.
bool take_over_access(int work, int old, uid_t owner, gid_t group, mode_t mode) {
    // Only a privileged run may give a file away, or one of the run's own
    // groups.
    struct stat now {};
    if (::fchown(work, owner, group) != 0 && (::fstat(work, &now) != 0 || now.st_uid != owner || now.st_gid != group)) {
        return false;
    }
    // The bits last: a change of owner clears set-user-ID, and the ACL sets
    // the group bits.
    return carry_access_acl(work, old) && holds_old_attributes(work, old) && ::fchmod(work, mode) == 0;
}

// Gives the work file the output's name in one step: a fresh work name
// beside the output first, then the two names swapped, and the old, emptied
// file's name removed. A signal between the steps removes the work name; a
// kill leaves the finished shuffle, or the empty old file, under it, never
// an unfinished one under the output's, and the next run removes it. Returns 0 or the
// error of the step that failed, with no work name left behind.
int give_name(int work, int folder, const std::string& name) {
    const std::string through = fd_path(work);
    std::string fresh;
    int linked = -1;
    for (unsigned attempt = 0; linked != 0 && attempt < 100; ++attempt) {
        fresh = work_name(attempt);
        linked = injected(publish_step::link)
                     ? -1
                     : ::linkat(AT_FDCWD, through.c_str(), folder, fresh.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno != EEXIST) {
            return errno;
        }
    }
    if (linked != 0) {
        return errno;
    }
    posix::remove_on_ending_signal(folder, fresh);
    int error = 0;
    if (!injected(publish_step::swap) &&
        ::renameat2(folder, fresh.c_str(), folder, name.c_str(), RENAME_EXCHANGE) == 0) {
        (void)::unlinkat(folder, fresh.c_str(), 0);
    } else if (injected(publish_step::rename) || ::renameat(folder, fresh.c_str(), folder, name.c_str()) != 0) {
        // Neither a swap nor, where the file system can't swap or the name
        // was removed meanwhile, one rename gave the name.
        error = errno;
        (void)::unlinkat(folder, fresh.c_str(), 0);
    }
    posix::forget_ending_signal_name();
    return error;
}

// Copies through a buffer where the kernel can't copy from file to file.
int copy_by_reads(int from, int to) {
    constexpr std::size_t block = std::size_t{256} << 10;
    const std::unique_ptr<char[]> buffer{new char[block]};
    for (std::uint64_t offset = 0;;) {
        const io_result got = read_fd_at(from, std::span<char>{buffer.get(), block}, offset);
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        if (!write_fd_at(to, std::span<const char>{buffer.get(), static_cast<std::size_t>(got)}, offset)) {
            return errno != 0 ? errno : EIO;
        }
        offset += static_cast<std::uint64_t>(got);
    }
}

// The other way to finish: the work file's bytes copied into the output,
// open, emptied and locked since the run began. A signal that can be caught
// empties it, as on the in-place way; a kill leaves a visibly short file.
// On a failure the output is left empty.
int copy_into(int from, int to) {
    empty_on_ending_signal(to);
    int error = 0;
    off_t read_at = 0;
    off_t written_at = 0;
    for (;;) {
        const ssize_t moved = injected(publish_step::copy)
                                  ? -1
                                  : ::copy_file_range(from, &read_at, to, &written_at, std::size_t{1} << 30, 0);
        if (moved > 0 || (moved < 0 && errno == EINTR)) {
            continue;
        }
        if (moved < 0) {
            error = errno;
            // Files the kernel can't copy between (other file systems, on
            // older kernels) are copied through a buffer.
            if (read_at == 0 && (error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)) {
                error = copy_by_reads(from, to);
            }
        }
        break;
    }
    // Flushed like the work file that takes the name, so that the end of the
    // run means the same on either way.
    if (error == 0 && ::fdatasync(to) != 0) {
        error = errno;
    }
    if (error != 0) {
        [[maybe_unused]] const int emptied = ::ftruncate(to, 0);
    }
    forget_ending_signal_output();
    return error;
}

}  // namespace

void fail_publish_step(publish_step step, int error) noexcept {
    injected_errors[static_cast<std::size_t>(step)] = error;
}

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
    work_file work;
    if (S_ISREG(out.st_mode) && make_work_file(name, out, work) != 0) {
        return open_error::system;
    }
    // A new, empty file is not cut: ext4 takes a file cut to nothing for one
    // being replaced, and writes it to the disk when the descriptor that cut
    // it is closed.
    if (S_ISREG(out.st_mode) && out.st_size > 0 && ::ftruncate(named.get(), 0) != 0) {
        return open_error::system;
    }
    if (work.file.get() >= 0) {
        adopt(folder_, work.folder.release());
        adopt(named_, named.release());
        final_name_ = std::move(work.name);
        swaps_name_ = work.swaps_name;
        mode_ = static_cast<std::uint32_t>(out.st_mode & 07777);
        owner_ = static_cast<std::int64_t>(out.st_uid);
        group_ = static_cast<std::int64_t>(out.st_gid);
        native_ = work.file.release();
        reads_back_ = true;
        return open_error::none;
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
    // A work file that will be copied into the output needn't reach the
    // disk itself.
    if (named_.is_open() && swaps_name_) {
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
    const int named = to_fd(native_of(named_));
    if (swaps_name_) {
        // Without this, a power cut soon after the swap could leave the name
        // on a file whose newest bytes never reached the disk, while older
        // ones of the work space did.
        if (injected(publish_step::flush) || ::fdatasync(work) != 0) {
            published_ = false;
            return errno;
        }
        if (take_over_access(work, named, static_cast<uid_t>(owner_), static_cast<gid_t>(group_),
                             static_cast<mode_t>(mode_)) &&
            give_name(work, to_fd(native_of(folder_)), final_name_) == 0) {
            return 0;
        }
    }
    // The name can't be given (a bind-mounted output, a sticky folder that
    // guards another user's name, an owner or ACL this run can't give):
    // the output the run holds open is written instead, as in place.
    const int error = copy_into(work, named);
    published_ = error == 0;
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
    swaps_name_ = false;
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

bool output_handle::cut_to(std::uint64_t size) {
    int result = 0;
    do {
        result = ::ftruncate(to_fd(native_), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool output_handle::write_at(std::span<const char> data, std::uint64_t offset) {
    return write_fd_at(to_fd(native_), data, offset);
}

io_result output_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_fd_at(to_fd(native_), buffer, offset);
}

}  // namespace line_shuffler::platform
