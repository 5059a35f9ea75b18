// The Windows side of the tool: files by handle, the clock, the console.
//
// Files go through Win32 handles rather than C streams: a handle has no text
// mode, so every byte of a line is copied as it is (as on POSIX), and ReadFile
// with an offset reads anywhere in a file of any size.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <time.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

namespace line_shuffler::platform {

namespace {

// Kernel handles are small positive numbers, so -1 (INVALID_HANDLE_VALUE)
// stays free to mean "closed", as it does for a descriptor.
HANDLE to_handle(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}
std::intptr_t from_handle(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

int last_error() {
    const DWORD error = ::GetLastError();
    // Never report success for a call that failed.
    return error == 0 ? static_cast<int>(ERROR_GEN_FAILURE) : static_cast<int>(error);
}

// Closes a handle that is being given up because of an earlier refusal, and
// passes that refusal on.
open_error abandon(HANDLE handle, open_error refused) {
    ::CloseHandle(handle);
    return refused;
}

// ReadFile and WriteFile move at most a DWORD's worth of bytes per call.
constexpr std::size_t max_transfer = std::size_t{1} << 30;

DWORD transfer_size(std::size_t wanted) {
    return static_cast<DWORD>(std::min(wanted, max_transfer));
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

int file_handle::close() {
    if (native_ < 0) {
        return 0;
    }
    // The handle is gone even if CloseHandle reports an error, so no retry.
    return ::CloseHandle(to_handle(std::exchange(native_, -1))) ? 0 : last_error();
}

namespace {

// Which file a handle is open on: its volume and its number there, and
// when it was made. Windows 8 and later give a 128-bit number that holds on
// every file system; older ones give the 64-bit index, kept in the same
// place. Wine can't tell the volume of a standard handle it was handed by
// the Unix side and reports 0 for it; the creation time then keeps two
// files of the same number on different volumes apart.
struct file_key {
    bool known = false;
    std::uint64_t volume = 0;  // 0 where the system can't say
    FILE_ID_128 id{};
    std::int64_t created = 0;  // 0 where the system can't say
};

file_key key_of(HANDLE handle) {
    file_key key;
    FILE_ID_INFO ids{};
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids)) {
        key.volume = ids.VolumeSerialNumber;
        key.id = ids.FileId;
    } else if (::GetFileInformationByHandle(handle, &information)) {
        key.volume = information.dwVolumeSerialNumber;
        const std::uint64_t index = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
        std::memcpy(key.id.Identifier, &index, sizeof index);
    } else {
        return key;
    }
    key.known = true;
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        key.created = basic.CreationTime.QuadPart;
    }
    return key;
}

// A volume or a time that one side can't tell doesn't tell them apart.
bool same_key(const file_key& a, const file_key& b) {
    const auto agree = [](auto x, auto y) { return x == y || x == 0 || y == 0; };
    return a.known && b.known && std::memcmp(a.id.Identifier, b.id.Identifier, sizeof a.id.Identifier) == 0 &&
           agree(a.volume, b.volume) && agree(a.created, b.created);
}

// Whether standard output goes to the file `file` is open on. A console, a
// device such as NUL, or a pipe is no file on disk and never counts.
bool is_stdout(HANDLE file) {
    const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (console == nullptr || console == INVALID_HANDLE_VALUE || ::GetFileType(console) != FILE_TYPE_DISK ||
        ::GetFileType(file) != FILE_TYPE_DISK) {
        return false;
    }
    return same_key(key_of(console), key_of(file));
}

}  // namespace

open_error input_handle::open(const char* name) {
    (void)close();
    // Others may go on using the file: the tool notices if it changes.
    // A directory can't be opened this way (that takes
    // FILE_FLAG_BACKUP_SEMANTICS), so it needs no check of its own; a device
    // or pipe opens at once without waiting for data and is refused below.
    const HANDLE handle =
        ::CreateFileA(name, GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return open_error::system;
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return abandon(handle, open_error::system);
    }
    if (is_stdout(handle)) {
        return abandon(handle, open_error::is_console);
    }
    native_ = from_handle(handle);
    return open_error::none;
}

namespace {

OVERLAPPED at_offset(std::uint64_t position) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(position & 0xffffffffU);
    where.OffsetHigh = static_cast<DWORD>(position >> 32);
    return where;
}

io_result read_handle_at(HANDLE handle, std::span<char> buffer, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        OVERLAPPED where = at_offset(offset + done);
        DWORD got = 0;
        if (!::ReadFile(handle, buffer.data() + done, transfer_size(buffer.size() - done), &got, &where)) {
            // A read that starts at or past the end reports it as an error.
            if (::GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return static_cast<io_result>(done);
}

bool write_handle_at(HANDLE handle, std::span<const char> data, std::uint64_t offset) {
    while (!data.empty()) {
        OVERLAPPED where = at_offset(offset);
        DWORD put = 0;
        if (!::WriteFile(handle, data.data(), transfer_size(data.size()), &put, &where) || put == 0) {
            return false;
        }
        data = data.subspan(put);
        offset += put;
    }
    return true;
}

}  // namespace

io_result input_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_handle_at(to_handle(native_), buffer, offset);
}

file_identity input_handle::identity() const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(to_handle(native_), &information)) {
        return {};
    }
    const auto join = [](DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; };
    // The last write time counts 100-nanosecond steps; it stands for both
    // times, Windows keeping no change time in this record.
    const std::uint64_t written =
        join(information.ftLastWriteTime.dwHighDateTime, information.ftLastWriteTime.dwLowDateTime);
    return {true,
            static_cast<std::int64_t>(join(information.nFileSizeHigh, information.nFileSizeLow)),
            static_cast<std::int64_t>(written / 10'000'000),
            static_cast<std::int64_t>(written % 10'000'000),
            0,
            0,
            information.dwVolumeSerialNumber,
            join(information.nFileIndexHigh, information.nFileIndexLow)};
}

namespace {

// A handle that closes itself, for the steps of an open that may give up
// half-way.
class unique_handle {
public:
    explicit unique_handle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    HANDLE get() const noexcept { return handle_; }
    HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

// The file attributes a published output takes over from the file it
// replaces; the work file's own (hidden, temporary) go. Windows keeps the
// rest of what POSIX calls the mode in the file's security descriptor,
// which stays the one the folder gives new files.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD work_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY;

bool set_attributes(HANDLE file, DWORD attributes) {
    // Times left at 0 stay as they are; attributes of 0 would too, so a
    // file with none of them is given the one that means none.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// A file marked for deletion goes when its last handle closes, whether the
// process ends normally, crashes or is killed; the mark can be taken back.
bool mark_for_deletion(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Windows 10 names this class from version 1607; MinGW's header guards it
// with a version number no _WIN32_WINNT reaches, so it is named here by the
// value Windows gives it.
constexpr auto file_rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Gives the open file `file` the name `target` (a full path), replacing the
// file there. The POSIX way replaces a file that is still open, as the
// locked output is; Windows before 10 1709, FAT and wine know only the
// other, which needs the old file closed.
bool rename_onto(HANDLE file, const std::wstring& target, bool posix_semantics) {
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    // The name is also read up to its terminating NUL on the way to the
    // kernel, so it gets one beyond FileNameLength.
    std::vector<std::uint64_t> storage(
        (offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t) + sizeof(std::uint64_t) - 1) /
        sizeof(std::uint64_t));
    auto* info = new (storage.data()) FILE_RENAME_INFO{};
    if (posix_semantics) {
        info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    } else {
        info->ReplaceIfExists = TRUE;
    }
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, target.c_str(), name_bytes + sizeof(wchar_t));
    return ::SetFileInformationByHandle(file, posix_semantics ? file_rename_info_ex : FileRenameInfo, info,
                                        static_cast<DWORD>(storage.size() * sizeof(std::uint64_t))) != 0;
}

// Windows takes a path of any length in this form, which names a file as
// it is, with no "." or ".." left to resolve.
std::wstring verbatim(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return path;
    }
    if (path.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return L"\\\\?\\" + path;
}

// The full path of the file `named` is open on, reached through any links,
// so that the work file is made beside the file it will replace and a link
// named shuffled_file.txt stays a link. Where Windows can't give it whole
// (a drive without a DOS name; wine, for a path longer than MAX_PATH), the
// file's path within its volume is joined to the volume the name is on;
// either way the path must lead back to the same file.
bool final_path(HANDLE named, const char* name, std::wstring& path) {
    path.clear();
    for (DWORD room = MAX_PATH;;) {
        std::wstring found(room, L'\0');
        const DWORD length =
            ::GetFinalPathNameByHandleW(named, found.data(), room, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length > 0 && length < room) {
            found.resize(length);
            path = verbatim(found);
            break;
        }
        if (length == 0 || length > 32768) {
            break;
        }
        room = length;
    }
    if (path.empty()) {
        // A path has at most 32,767 units; the record holds its length before it.
        std::vector<std::uint64_t> storage((sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t)) / sizeof(std::uint64_t));
        auto* within = new (storage.data()) FILE_NAME_INFO{};
        const UINT code_page = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
        std::wstring wide(MAX_PATH, L'\0');
        std::wstring full(32768, L'\0');
        std::wstring volume(32768, L'\0');
        const int units = ::MultiByteToWideChar(code_page, 0, name, -1, wide.data(), MAX_PATH);
        if (units <= 0 ||
            !::GetFileInformationByHandleEx(named, FileNameInfo, within,
                                            static_cast<DWORD>(storage.size() * sizeof(std::uint64_t))) ||
            ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr) == 0 ||
            !::GetVolumePathNameW(full.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) {
            return false;
        }
        volume.resize(volume.find(L'\0'));
        if (!volume.empty() && (volume.back() == L'\\' || volume.back() == L'/')) {
            volume.pop_back();
        }
        path = verbatim(volume + std::wstring(within->FileName, within->FileNameLength / sizeof(wchar_t)));
    }
    const unique_handle found{
        ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING, 0, nullptr)};
    return found.get() != INVALID_HANDLE_VALUE && same_key(key_of(found.get()), key_of(named));
}

// A new file beside `target`, under a fresh hidden name, open for reading,
// writing and renaming, and already marked for deletion; or
// INVALID_HANDLE_VALUE where the folder can't hold one.
HANDLE open_work_file(const std::wstring& target) {
    const std::size_t slash = target.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 == target.size()) {
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring stem = target.substr(0, slash + 1) + L"." + target.substr(slash + 1) + L"." +
                              std::to_wstring(::GetCurrentProcessId()) + L".";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring fresh = stem + std::to_wstring(attempt);
        const HANDLE work = ::CreateFileW(fresh.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, share_all, nullptr,
                                          CREATE_NEW, work_attributes, nullptr);
        if (work != INVALID_HANDLE_VALUE) {
            if (mark_for_deletion(work, true)) {
                return work;
            }
            ::CloseHandle(work);
            (void)::DeleteFileW(fresh.c_str());
            return INVALID_HANDLE_VALUE;
        }
        // A name still taken, by a file or by one whose deletion is pending
        // (refused as access denied), is passed over for the next.
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
            break;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// Cuts a file on disk to nothing, wherever its file pointer is.
void empty_file(HANDLE file) {
    if (::GetFileType(file) == FILE_TYPE_DISK) {
        FILE_END_OF_FILE_INFO end{};
        (void)::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
    }
}

}  // namespace

output_handle::~output_handle() {
    (void)close();
}

open_error output_handle::open(const char* name, const input_handle& input) {
    (void)close();
    // An existing file is opened as it is and emptied only once it is known
    // not to be the input. Otherwise a new file is made; CREATE_NEW with
    // FILE_FLAG_OPEN_REPARSE_POINT fails on a link whose target is missing
    // instead of creating that target.
    // The named file is only written (the lines are sorted elsewhere); its
    // attributes are read to tell which file it is. A file that may only be
    // written is taken as it is.
    DWORD access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    HANDLE opened = ::CreateFileA(name, access, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        access = GENERIC_WRITE;
        opened = ::CreateFileA(name, access, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (opened == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
        opened = ::CreateFileA(name, access, share_all, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (opened == INVALID_HANDLE_VALUE) {
        return open_error::system;
    }
    unique_handle named{opened};
    if (input.is_open()) {
        const file_key output_key = key_of(named.get());
        if (!output_key.known) {
            return open_error::system;
        }
        const file_key input_key = key_of(to_handle(native_of(input)));
        if (!input_key.known) {
            return open_error::system;
        }
        // Emptying the output must never empty the input it is about to read.
        if (same_key(output_key, input_key)) {
            return open_error::same_file;
        }
    }
    if (is_stdout(named.get())) {
        return open_error::is_console;
    }
    // A device or a pipe has no length to cut, no lock and no folder: it
    // takes the lines in order, once.
    reads_back_ = false;
    if (::GetFileType(named.get()) != FILE_TYPE_DISK) {
        native_ = from_handle(named.release());
        return open_error::none;
    }
    // The lock spans every byte the file may ever have and goes with the
    // handle, at the latest when the process ends. Other programs may still
    // open the file; only another lock is refused, at once. A file system
    // that keeps no locks can't tell of another run; the run goes on.
    OVERLAPPED from_start{};
    if (!::LockFileEx(named.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &from_start) &&
        ::GetLastError() == ERROR_LOCK_VIOLATION) {
        return open_error::locked;
    }
    // The file pointer is at 0, so this cuts the file to nothing.
    if (!::SetEndOfFile(named.get())) {
        return open_error::system;
    }
    FILE_BASIC_INFO old{};
    const bool old_known = (access & FILE_READ_ATTRIBUTES) != 0 &&
                           ::GetFileInformationByHandleEx(named.get(), FileBasicInfo, &old, sizeof old);
    std::wstring target;
    if (old_known && final_path(named.get(), name, target)) {
        const HANDLE work = open_work_file(target);
        if (work != INVALID_HANDLE_VALUE) {
            adopt(named_, from_handle(named.release()));
            // Kept as the UTF-16 units Windows gave, byte for byte: a name
            // need not survive a round trip through any 8-bit encoding.
            final_name_.assign(reinterpret_cast<const char*>(target.data()), target.size() * sizeof(wchar_t));
            mode_ = old.FileAttributes & kept_attributes;
            native_ = from_handle(work);
            reads_back_ = true;
            return open_error::none;
        }
    }
    // Written in place, in order: a folder that can't hold the work file, or
    // a file Windows can't place.
    native_ = from_handle(named.release());
    return open_error::none;
}

// FlushFileBuffers in publish() writes what is left; Windows has no call
// that starts a range's writing without waiting for it.
void output_handle::start_writeback(std::uint64_t, std::uint64_t) noexcept {}

int output_handle::publish() {
    published_ = true;
    if (final_name_.empty()) {
        return 0;
    }
    const HANDLE work = to_handle(native_);
    std::wstring target(final_name_.size() / sizeof(wchar_t), L'\0');
    std::memcpy(target.data(), final_name_.data(), target.size() * sizeof(wchar_t));
    // Until the name is given, a failure leaves the work file as it was:
    // hidden, and marked to go with its handle.
    const auto give_up = [&](int error) {
        (void)set_attributes(work, work_attributes);
        (void)mark_for_deletion(work, true);
        published_ = false;
        return error;
    };
    // Without this, a power cut soon after the rename could leave the name
    // on a file whose newest bytes never reached the disk.
    if (!::FlushFileBuffers(work)) {
        return give_up(last_error());
    }
    // The read-only bit waits for the name: on a work file it would keep a
    // failed publication from marking the file for deletion again.
    if (!set_attributes(work, mode_ & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) ||
        !mark_for_deletion(work, false)) {
        return give_up(last_error());
    }
    // The output keeps its lock to the end where the system can replace a
    // file that is open; elsewhere the named file is closed first, and
    // another run that opens it in the moment between finds it empty and is
    // replaced in turn, or keeps this rename from happening.
    if (!rename_onto(work, target, true)) {
        (void)named_.close();
        if (!rename_onto(work, target, false)) {
            return give_up(last_error());
        }
    }
    if ((mode_ & FILE_ATTRIBUTE_READONLY) != 0) {
        (void)set_attributes(work, mode_);
    }
    return 0;
}

int output_handle::close() {
    if (!published_ && native_ >= 0 && final_name_.empty()) {
        // Written in place and not finished: what it holds is no shuffle.
        empty_file(to_handle(native_));
    }
    // An unpublished work file is still marked for deletion and goes now.
    const int work = file_handle::close();
    const int named = named_.close();
    final_name_.clear();
    mode_ = 0;
    reads_back_ = false;
    published_ = false;
    return work != 0 ? work : named;
}

bool output_handle::write_all(std::span<const char> data) {
    while (!data.empty()) {
        DWORD put = 0;
        if (!::WriteFile(to_handle(native_), data.data(), transfer_size(data.size()), &put, nullptr) || put == 0) {
            return false;
        }
        data = data.subspan(put);
    }
    return true;
}

bool output_handle::write_at(std::span<const char> data, std::uint64_t offset) {
    return write_handle_at(to_handle(native_), data, offset);
}

io_result output_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_handle_at(to_handle(native_), buffer, offset);
}

bool output_handle::cut_to(std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFileInformationByHandle(to_handle(native_), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool scratch_handle::open() {
    wchar_t folder[MAX_PATH + 1]{};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        return false;
    }
    // The name is the system's fresh one; the file goes when its one
    // handle closes, which the system does for a process that ends any way.
    wchar_t name[MAX_PATH + 1]{};
    for (unsigned attempt = 0; attempt < 10; ++attempt) {
        if (::GetTempFileNameW(folder, L"lsh", 0, name) == 0) {
            return false;
        }
        const HANDLE file = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                          work_attributes | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            adopt(*this, reinterpret_cast<std::intptr_t>(file));
            return true;
        }
        (void)::DeleteFileW(name);
    }
    return false;
}

bool scratch_handle::write_at(std::span<const char> data, std::uint64_t offset) {
    return write_handle_at(to_handle(native_), data, offset);
}

io_result scratch_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_handle_at(to_handle(native_), buffer, offset);
}

void use_large_pages(void*, std::size_t) noexcept {
    // Large pages on Windows need a privilege a user seldom has.
}

void discard(void* block, std::size_t bytes) noexcept {
    // Pages of the C library's heap can't be given back one by one here.
    (void)block;
    (void)bytes;
}

void prepare_console() {
    // In text mode every "\n" of the dialogue would reach a redirected
    // transcript as "\r\n"; a console shows the same either way.
    (void)::_setmode(::_fileno(stdout), _O_BINARY);
}

unsigned usable_processors() noexcept {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) == 0 || process == 0) {
        return 1;
    }
    unsigned count = 0;
    for (; process != 0; process &= process - 1) {
        ++count;
    }
    return count;
}

std::int64_t calendar_seconds() {
    return static_cast<std::int64_t>(::_time64(nullptr));
}

std::int64_t monotonic_milliseconds() {
    return static_cast<std::int64_t>(::GetTickCount64());
}

namespace {

bool is_console(DWORD which) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool stdout_is_terminal() {
    return is_console(STD_OUTPUT_HANDLE);
}

void wait_for_key() {
    if (is_console(STD_INPUT_HANDLE)) {
        // Arrows, function keys and the like arrive as 0 or 0xE0 and then a
        // second code; taking both keeps the second from being left for the
        // program that reads the console next. _getch also reads Ctrl-C as
        // a key like any other.
        const int key = ::_getch();
        if (key == 0 || key == 0xE0) {
            (void)::_getch();
        }
        return;
    }
    // Standard input is a file, a pipe or nothing at all: one byte, or the
    // end of input, or no handle, ends the wait.
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return;
    }
    char byte = 0;
    DWORD got = 0;
    (void)::ReadFile(input, &byte, 1, &got, nullptr);
}

}  // namespace line_shuffler::platform
