// What the tool needs from the operating system, and nothing more: the two
// files, the clock, the terminal, the key wait and how many processors the
// run may use. Each platform has its own files implementing this header
// (platform_windows.cpp; platform_posix.cpp and, for the output,
// platform_posix_output.cpp). The rest of the tool calls no
// system directly; what it asks of the compiler and the C library where
// they differ is kept to a few small places: the draw's generator, a
// lock-free one on glibc and elsewhere rand() seeded on the thread that
// draws, since msvcrt keeps its state per thread (shuffle.cpp), whether
// there are threads (two_parts.h: MinGW-w64 has them in its POSIX-threads
// compilers, which the Windows presets name), the vector
// compare of the newline scan (newline_scan.h), the prefetch hint
// (prefetch.h) and the format and switch checks that messages.h asks of
// GCC and clang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace line_shuffler::platform {

// Why a file could not be opened: the system refused, or the tool refused
// a file the system would have opened.
enum class open_error {
    none,
    system,
    same_file,
    locked,
    // Standard output goes to the file: the dialogue would mix with the
    // lines, or be counted and shuffled with them.
    is_console,
};

// What a file says about itself: its size, when its content and its
// metadata last changed (at the full resolution the system keeps), and
// which file it is. Any write moves one of the times, so the same values
// before and after a read mean nobody wrote in between, even when the size
// is the same or is reported as 0 (as for /proc files). On Windows the
// times are the last write only, and the device is the volume serial.
struct file_identity {
    bool known = false;
    std::int64_t size = 0;
    std::int64_t modified_seconds = 0;
    std::int64_t modified_fraction = 0;
    std::int64_t changed_seconds = 0;
    std::int64_t changed_fraction = 0;
    std::uint64_t device = 0;
    std::uint64_t file = 0;

    bool operator==(const file_identity&) const = default;
};

// Result of a positioned read or a write: bytes moved, or -1 on error.
using io_result = std::int64_t;

// One open file of the system's: a descriptor, or a Windows HANDLE, that
// the handle owns and closes when it goes. Closed is -1 on every platform.
class file_handle {
public:
    file_handle() = default;
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    file_handle(file_handle&& other) noexcept;
    file_handle& operator=(file_handle&& other) noexcept;
    ~file_handle();

    bool is_open() const noexcept { return native_ >= 0; }
    // Returns 0 or the system's error number; a late write error (a full
    // disk noticed at close) shows up here.
    int close();

protected:
    // The output's open compares its file with the input's, and a derived
    // handle may reach another handle's native value only through its base.
    static std::intptr_t native_of(const file_handle& file) noexcept { return file.native_; }
    // Gives `file` a native value to own, closing what it had.
    static void adopt(file_handle& file, std::intptr_t native) noexcept;

    std::intptr_t native_ = -1;
};

// The input, read only by position so that no step depends on where an
// earlier step left a file pointer.
class input_handle : public file_handle {
public:
    // Opens a regular file for reading; never blocks, even on a FIFO, and
    // refuses any other kind of file (system) and the file that standard
    // output goes to (is_console).
    open_error open(const char* name);
    // Reads up to buffer.size() bytes at offset; fewer only at the end of
    // the file. Interrupted reads are resumed.
    io_result read_at(std::span<char> buffer, std::uint64_t offset) const;
    // What the file says about itself now; `known` is false if it can't say.
    file_identity identity() const;
};

class output_handle : public file_handle {
public:
    output_handle() = default;
    ~output_handle();
    output_handle(const output_handle&) = delete;
    output_handle& operator=(const output_handle&) = delete;

    // Opens the file for writing and empties it, creating it if absent.
    // Refuses to empty the file behind `input` (same_file) or the one that
    // standard output goes to (is_console), and to create a file through a
    // dangling link. Before emptying it, takes an exclusive
    // lock on it that goes with the handle, so that a second run writing the
    // same file is refused (locked) at once instead of waiting or mixing its
    // lines into this one's; so is any other program's lock, of either kind
    // (whole-file or byte-range).
    //
    // A regular file is not written under its name while the run lasts:
    // the lines are sorted in a work file without a name, in the folder the
    // output's name leads to (found by descriptor, links followed), so that
    // a run ended any way at all (a signal, a kill, a crash, a power cut)
    // leaves the named file empty. publish() then gives the work file the
    // name, or, where the name can't be given, copies it into the named
    // file. Only where the folder's file system can't make a file without a
    // name do the lines go to the named file in their final order, once; a
    // run that doesn't finish then empties it, or leaves at most a visibly
    // short file. A folder that can't be found, or a run short of
    // descriptors, fails the open and leaves the old file as it was.
    open_error open(const char* name, const input_handle& input);
    // Writes all of data at the file's current position; false on any
    // failure.
    bool write_all(std::span<const char> data);

    // Whether the writer may write the lines anywhere in the file and read
    // them back: true for the unnamed work file only. Anything else (a FIFO,
    // a device, a file written in place) takes its lines in order, once.
    bool reads_back() const noexcept { return reads_back_; }
    // Writes all of data at `offset`; false on any failure.
    bool write_at(std::span<const char> data, std::uint64_t offset);
    // As input_handle::read_at; only where reads_back().
    io_result read_at(std::span<char> buffer, std::uint64_t offset) const;

    // The bytes from `offset` on are final: starts writing them to the disk
    // without waiting, so that publish() finds little left to flush.
    void start_writeback(std::uint64_t offset, std::uint64_t size) noexcept;

    // Cuts the work file to its first `size` bytes, giving back what lay
    // past them (the run's tables put aside). False on failure.
    bool cut_to(std::uint64_t size);

    // The output is finished: puts the work file's bytes on the disk, gives
    // it the old file's owner, access ACL and permission bits, then swaps it
    // in under the output's name in one step (it bears a hidden name,
    // ".line_shuffler.<pid>.<n>", for that moment, which the next run
    // removes if a kill left it). Where any of that can't be done (a
    // bind-mounted output, other hard links, a sticky or append-only
    // folder, an owner or ACL the run can't give), the work file is copied
    // into the named file instead, which keeps all it had. Returns 0 or the
    // system's error number; on an error the named file stays empty.
    int publish();
    // Closes the output. An output that was not published is left empty
    // where it can be emptied; its work file goes with the handle.
    int close();

private:
    bool reads_back_ = false;
    bool published_ = false;
    // The output under its name: emptied, locked, and kept open to the end
    // so that the lock holds for the whole run.
    file_handle named_;
    // Where the work file gets its name: the folder (POSIX) and the name in
    // it, or the full path (Windows). Empty when the output is written in
    // place.
    file_handle folder_;
    std::string final_name_;
    // Whether publish() may try to give the work file the name; where it
    // may not, it copies.
    bool swaps_name_ = false;
    // The old file's permission bits and owner, which the work file takes.
    std::uint32_t mode_ = 0;
    std::int64_t owner_ = -1;
    std::int64_t group_ = -1;
};

// A file without a name for the tables a run puts aside, where the output
// can't hold them (a FIFO, a device, a file written in place): made in the
// temporary folder ($TMPDIR, else /var/tmp, else /tmp; on Windows the
// user's temporary folder), readable by its owner alone, and gone when it
// is closed or the process ends, however it ends.
class scratch_handle : public file_handle {
public:
    // False where no temporary folder can hold such a file.
    bool open();
    bool write_at(std::span<const char> data, std::uint64_t offset);
    io_result read_at(std::span<char> buffer, std::uint64_t offset) const;
};

// Steps of publishing a work file that a test may have fail, with the
// error the system would give, to reach the ways a run takes when the
// system refuses them (POSIX only). A run never sets them; 0 lets the
// system answer again.
enum class publish_step { flush, link, swap, rename, copy, count };
void fail_publish_step(publish_step step, int error) noexcept;

// Asks for a large block (the order, the lengths, the windows' buffers) to
// be backed by large pages where the system offers them on request: the
// first touch of each 4 KiB page of a fresh block costs a fault, and a run
// touches tens of megabytes afresh. Nothing where there are none.
void use_large_pages(void* block, std::size_t bytes) noexcept;

// Gives back the memory of the whole pages within a block that will not be
// read again before the block goes; where the system can't, they stay.
void discard(void* block, std::size_t bytes) noexcept;

// Makes standard output carry the dialogue's bytes as they are, so that a
// transcript sent to a file is the same on every platform, and makes a
// write to a closed pipe, or past the file-size limit, fail as a write
// (which the run reports) instead of ending the process with a signal.
void prepare_console();

// How many processors this process may run on: those of its affinity
// (`taskset`, a container's CPU set), not all the machine has, so that a
// run held to one core doesn't split its steps between threads that can
// only take turns.
unsigned usable_processors() noexcept;

// Whole seconds since 1970-01-01 00:00:00 UTC.
std::int64_t calendar_seconds();

// Milliseconds from an arbitrary start, never going back.
std::int64_t monotonic_milliseconds();

bool stdout_is_terminal();

// Waits for one key press on the console without echo and discards it.
// Without a console, reads one byte of standard input, and returns at once
// at the end of input. A signal that ends the process during the wait
// still leaves the console as it was found.
void wait_for_key();

}  // namespace line_shuffler::platform
