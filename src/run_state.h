// The state of one shuffle run, the failures that can end it, and the
// figures of the tool's promise.
//
// A run is a fixed sequence of plain steps (open, count, draw, write,
// close; run.h) that share one run_state. Each step either does its job or
// throws run_failure; run_shuffle decides, in one place, what the user sees
// and which exit status follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>

#include "grown_array.h"
#include "input_digest.h"
#include "line_lengths.h"
#include "page_buffer.h"
#include "platform.h"
#include "progress.h"
#include "scratch.h"

namespace line_shuffler {

// The line length the banner promises ("Max line length must be 1000
// characters"; messages.h checks that the two agree). It is no limit and
// sizes no buffer: lines of any length are copied whole.
inline constexpr std::size_t LINE_BUFFER_SIZE = 1000;

// Counting reads the input in blocks of this size, which measured fastest:
// large enough that a system call is cheap beside the bytes it brings, small
// enough to stay in the processor's cache while they are scanned.
inline constexpr std::size_t COUNT_READ_SIZE = std::size_t{64} * 1024;

// Counting and the writer read the input through run_state::read_buffer,
// of this size; a second part reads into its own (the fill's of this size,
// the count's a block of COUNT_READ_SIZE). The writer's reads of 64 KiB,
// 256 KiB and 1 MiB measured alike from the page cache; on a disk
// fewer, larger reads wait less. A line longer than that goes through it
// piece by piece, so memory never depends on how long lines are.
inline constexpr std::size_t READ_BUFFER_SIZE = std::size_t{1024} * 1024;

// Input line numbers (1-based) and the count of lines. The order holds one
// for every line, so 4 bytes each; the count is shown signed, hence the
// limit.
using line_number = std::uint32_t;
inline constexpr std::uint64_t MAX_LINE_COUNT = 2147483647;

// Where line `line` (1-based, as the order holds it) is found in the tables
// indexed from 0: its length, its slot, its bit.
inline constexpr std::size_t line_index(line_number line) noexcept {
    return std::size_t{line} - 1;
}

// The memory promise: peak resident memory at most this base plus this much
// for every input line, whatever the lines' lengths. The 4 bytes a line are
// the order's; the lengths (2 bytes a line) are put aside while it is
// drawn, and it is put aside in its turn while the lengths, then each
// line's window and place in it, share its block with the windows.
inline constexpr std::uint64_t PROMISED_BASE_BYTES = std::uint64_t{24} << 20;
inline constexpr std::uint64_t PROMISED_BYTES_PER_LINE = 4;
// Where no scratch space can be had (an output that can't hold it and no
// temporary folder that can hold a file without a name), the order and the
// lengths stay in memory together, and the run takes this much a line.
inline constexpr std::uint64_t IN_MEMORY_BYTES_PER_LINE = 9;

inline constexpr const char* INPUT_FILE_NAME = "file.txt";
inline constexpr const char* OUTPUT_FILE_NAME = "shuffled_file.txt";

// Everything that can end a run early but running out of memory, which
// every allocation reports as std::bad_alloc, whether the C++ library's or
// the tool's own. Each has exactly one console message.
enum class failure {
    input_not_opened,
    output_not_opened,
    output_is_input,
    console_is_file,
    output_locked,
    too_many_lines,
    read_failed,
    input_changed,
    write_failed,
    output_read_failed,
};

struct run_failure {
    failure reason;
};

// How large the writer's windows, reads and write buffers may be, and
// whether it may sort the lines in place in the output. Zero means as the
// memory promise and the measured best sizes have it; tests set small values
// so that short inputs reach window edges, lines longer than a window, reads
// that end mid-line, write buffers of a byte and lines copied straight.
struct writer_limits {
    std::uint64_t window_bytes = 0;        // a window's lines and their index
    std::size_t read_bytes = 0;            // one read of the input
    std::size_t write_buffer_bytes = 0;    // what a window gathers before a write
    bool passes_only = false;              // as if the output were a FIFO
    unsigned parts = 0;                    // 1 or 2 parts for every step that splits, as chosen
    std::uint64_t least_window_lines = 0;  // fewer lines, and a window's are copied straight
};

// Where the seed comes from: the wall clock in a real run, a fixed value in
// tests that need a known order.
using clock_function = std::int64_t (*)();

// Making one takes no memory beyond its own, and can't fail: main makes it
// on its stack before the run can report a failure. The steps take the
// buffers, the lengths and the order, and the scratch space where the last
// two wait in turn.
struct run_state {
    // Files and count.
    platform::input_handle input_file;
    platform::output_handle output_file;
    line_number line_count = 0;

    // What counting learns besides the count: the input's size as counted
    // (the writer never reads past it), every line's length, and the line
    // end to put after the last line ("\r\n" if the first line has one).
    std::uint64_t input_size = 0;
    line_lengths lengths;
    std::string_view added_line_end = "\n";
    // What the input said about itself when opened, before any of it was
    // read; the same at the end of the write means the lines written are
    // the lines counted.
    platform::file_identity input_identity;
    // The input's bytes as counted, which every read of the writer checks
    // what it read against: the times alone miss a rewrite within the
    // file system's clock tick.
    input_digest digest;
    // Counting stops with too_many_lines past this; lower only in tests.
    std::uint64_t max_line_count = MAX_LINE_COUNT;

    // Shuffle order: entry i is the 1-based input line written as output
    // line i + 1. Once put aside, the writer reads it from the scratch
    // space, from order_aside_at on, a piece at a time.
    grown_array<line_number> shuffle_order;
    // Where the lengths and the order wait while the other is in memory
    // (aside.h): the lengths from the space's start, lengths_aside_bytes
    // long, while lengths_aside; the order after them.
    scratch_space scratch;
    bool lengths_aside = false;
    std::uint64_t lengths_aside_bytes = 0;
    std::uint64_t order_aside_at = ORDER_IN_MEMORY;
    static constexpr std::uint64_t ORDER_IN_MEMORY = ~std::uint64_t{0};
    clock_function clock = platform::calendar_seconds;

    // The input's reads by the first (or only) part of the count and of the
    // writer go through read_buffer; a second part reads into its own.
    page_buffer read_buffer;
    writer_limits limits;

    // Off unless the run shows progress on a terminal.
    progress_line progress;
};
static_assert(std::is_nothrow_default_constructible_v<run_state>);

}  // namespace line_shuffler
