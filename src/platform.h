// What the tool needs from the operating system, and nothing more: the two
// files, the clock, the terminal and the key wait. Each platform has one file
// implementing this header; nothing else in the tool depends on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace line_shuffler::platform {

// Error values the platform file reports besides the system's own numbers.
inline constexpr int error_not_regular_file = -1;
inline constexpr int error_same_file = -2;

// Result of a positioned read or a write: bytes moved, or -1 on error.
using io_result = std::int64_t;

// The input, read only by position so that no step depends on where an
// earlier step left a file pointer.
class input_handle {
public:
    input_handle() = default;
    input_handle(const input_handle&) = delete;
    input_handle& operator=(const input_handle&) = delete;
    input_handle(input_handle&& other) noexcept;
    input_handle& operator=(input_handle&& other) noexcept;
    ~input_handle();

    // Opens a regular file for reading; never blocks, even on a FIFO.
    // Returns 0, the system's error number, or error_not_regular_file.
    int open(const char* name);
    bool is_open() const noexcept { return native_ >= 0; }
    // Reads up to buffer.size() bytes at offset; fewer only at the end of
    // the file. Interrupted reads are resumed.
    io_result read_at(std::span<char> buffer, std::uint64_t offset) const;
    // The file's current size, or -1 if it cannot be learnt.
    std::int64_t size() const;
    // Returns 0 or the system's error number.
    int close();

private:
    friend class output_handle;
    std::intptr_t native_ = -1;
};

class output_handle {
public:
    output_handle() = default;
    output_handle(const output_handle&) = delete;
    output_handle& operator=(const output_handle&) = delete;
    output_handle(output_handle&& other) noexcept;
    output_handle& operator=(output_handle&& other) noexcept;
    ~output_handle();

    // Opens the file for writing and empties it, creating it if absent.
    // Refuses to empty the file behind `input` (error_same_file) and to
    // create a file through a dangling link. Returns 0 or an error value.
    int open(const char* name, const input_handle& input);
    bool is_open() const noexcept { return native_ >= 0; }
    // Writes all of data; false on any failure.
    bool write_all(std::span<const char> data);
    // Returns 0 or the system's error number; a late write error (a full
    // disk noticed at close) shows up here.
    int close();

private:
    std::intptr_t native_ = -1;
};

// Makes standard output carry the dialogue's bytes as they are, so that a
// transcript sent to a file is the same on every platform.
void prepare_console();

// Whole seconds since 1970-01-01 00:00:00 UTC.
std::int64_t calendar_seconds();

// Milliseconds from an arbitrary start, never going back.
std::int64_t monotonic_milliseconds();

bool stdout_is_terminal();

// Waits for one key press on the console without echo and discards it.
// Without a console, reads one byte of standard input, and returns at once
// at the end of input.
void wait_for_key();

}  // namespace line_shuffler::platform
