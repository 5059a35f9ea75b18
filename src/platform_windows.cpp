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

#include <cstdio>

#include <algorithm>
#include <utility>

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

// The system's refusal, by the error it left for GetLastError.
open_result system_refusal() {
    return {open_error::system, last_error()};
}

// Closes a handle that is being given up because of an earlier refusal, and
// passes that refusal on.
open_result abandon(HANDLE handle, open_result refused) {
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

open_result input_handle::open(const char* name) {
    (void)close();
    // Others may go on using the file: the tool notices if it changes.
    // A directory can't be opened this way (that takes
    // FILE_FLAG_BACKUP_SEMANTICS), so it needs no check of its own; a device
    // or pipe opens at once without waiting for data and is refused below.
    const HANDLE handle =
        ::CreateFileA(name, GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return system_refusal();
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return abandon(handle, {open_error::not_regular_file, 0});
    }
    native_ = from_handle(handle);
    return {};
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

// Volume and file number name a file whatever path led to it.
bool same_file(HANDLE a, HANDLE b, int& error) {
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    if (!::GetFileInformationByHandle(a, &first) || !::GetFileInformationByHandle(b, &second)) {
        error = last_error();
        return false;
    }
    error = 0;
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace

open_result output_handle::open(const char* name, const input_handle& input) {
    (void)close();
    // An existing file is opened as it is and emptied only once it is known
    // not to be the input. Otherwise a new file is made; CREATE_NEW with
    // FILE_FLAG_OPEN_REPARSE_POINT fails on a link whose target is missing
    // instead of creating that target.
    // Reading is asked for too, so that the lines can be sorted in place;
    // a file that may only be written is taken as it is.
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    HANDLE handle = ::CreateFileA(name, access, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        access = GENERIC_WRITE;
        handle = ::CreateFileA(name, access, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        access = GENERIC_READ | GENERIC_WRITE;
        handle = ::CreateFileA(name, access, share_all, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return system_refusal();
    }
    if (input.is_open()) {
        int error = 0;
        const bool is_input = same_file(handle, to_handle(native_of(input)), error);
        if (error != 0) {
            return abandon(handle, {open_error::system, error});
        }
        if (is_input) {
            return abandon(handle, {open_error::same_file, 0});
        }
    }
    // Only a file on disk has a length to cut; the file pointer is at 0.
    // The lock spans every byte the file may ever have and goes with the
    // handle, at the latest when the process ends. Other programs may still
    // open the file; only another lock is refused, at once. A file system
    // that keeps no locks can't tell of another run; the run goes on.
    holds_regions_ = false;
    if (::GetFileType(handle) == FILE_TYPE_DISK) {
        holds_regions_ = (access & GENERIC_READ) != 0;
        OVERLAPPED from_start{};
        if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                          &from_start) &&
            ::GetLastError() == ERROR_LOCK_VIOLATION) {
            return abandon(handle, {open_error::locked, 0});
        }
        if (!::SetEndOfFile(handle)) {
            return abandon(handle, system_refusal());
        }
    }
    native_ = from_handle(handle);
    return {};
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
    while (!data.empty()) {
        OVERLAPPED where = at_offset(offset);
        DWORD put = 0;
        if (!::WriteFile(to_handle(native_), data.data(), transfer_size(data.size()), &put, &where) || put == 0) {
            return false;
        }
        data = data.subspan(put);
        offset += put;
    }
    return true;
}

io_result output_handle::read_at(std::span<char> buffer, std::uint64_t offset) const {
    return read_handle_at(to_handle(native_), buffer, offset);
}

void prepare_console() {
    // In text mode every "\n" of the dialogue would reach a redirected
    // transcript as "\r\n"; a console shows the same either way.
    (void)::_setmode(::_fileno(stdout), _O_BINARY);
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
