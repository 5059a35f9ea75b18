// How the writer will go about a run, worked out from a few figures before
// any line is moved: which way it puts the lines in order, how large its
// windows are and how much memory they may take.
//
// Two ways:
// - regions: the output file itself is the work space. Each window of
//   consecutive output lines owns the stretch of the output its lines will
//   fill. One sequential pass over the input hands every line to its
//   window's region, in input order; then each region is read back, its
//   lines put in output order in memory, and written over itself. Every byte
//   is read twice and written twice, however long the lines. Where the
//   windows are too many to number in a line's slot, those of few lines get
//   no number: each of their lines is read from its place in the input and
//   written straight to its place in the output, once.
// - passes: for an output that can't be read back or written out of order:
//   a FIFO or a device, or a regular file whose folder can't hold a file
//   without a name (vfat, NFS), so that the lines are written into it in
//   place. Each window costs a pass over the input that gathers its lines,
//   which then go out in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run_state.h"

namespace line_shuffler {

enum class write_path { regions, passes };

// A window's number in the windows' table, and each line's place within its
// window, are kept in the line's 2-byte slot (see line_lengths.h); the
// slot's largest value, NO_WINDOW, marks a line whose window has no number.
inline constexpr std::uint64_t MAX_WINDOWS = 65535;
inline constexpr std::uint64_t NO_WINDOW = MAX_WINDOWS;
inline constexpr std::uint64_t MAX_LINES_PER_WINDOW = 65536;

// What a window costs beside its lines' bytes, for each line: where the line
// ends in the window and its entry of the order, read back from the scratch
// space; for passes also which input line it is.
inline constexpr std::uint64_t WINDOW_BYTES_PER_LINE = 8;
inline constexpr std::uint64_t PASS_BYTES_PER_LINE = 12;

// What each window with a number costs in the windows' table: its place and
// size in the output, and, for each part of the first step, how far it is
// filled.
inline constexpr std::uint64_t WINDOW_ENTRY_BYTES = 40;
inline constexpr std::uint64_t WINDOW_PART_ENTRY_BYTES = 16;

// The lines copied straight are found in the input from the offset of
// every lines_per_input_offset()-th line, and the lengths of those between:
// every 512th, or fewer where that would take more than 2 MiB.
inline constexpr std::uint64_t LINES_PER_INPUT_OFFSET = 512;
inline constexpr std::uint64_t MOST_INPUT_OFFSETS = std::uint64_t{1} << 18;
inline constexpr std::uint64_t lines_per_input_offset(std::uint64_t line_count) noexcept {
    std::uint64_t stride = LINES_PER_INPUT_OFFSET;
    while (line_count / stride >= MOST_INPUT_OFFSETS) {
        stride *= 2;
    }
    return stride;
}

// What the plan is made from: the count's figures, and the output.
struct plan_figures {
    std::uint64_t line_count = 0;
    std::uint64_t output_bytes = 0;   // the input's bytes and the added line end
    std::uint64_t lengths_bytes = 0;  // what the lengths hold (line_lengths::memory_bytes)
    std::uint64_t longest_line = 0;   // the longest output line's bytes
    bool output_reads_back = false;
    // Whether the order is aside while the windows are filled: where it
    // is not (no scratch space), the run takes IN_MEMORY_BYTES_PER_LINE.
    bool order_aside = true;
    writer_limits limits;
    unsigned parts = 1;  // plan_parts().write
};

struct write_plan {
    write_path path = write_path::passes;
    // A window's lines and line_bytes for each fit in this; a line longer
    // than that is a window of its own, moved in pieces.
    std::uint64_t window_bytes = 0;
    std::uint64_t line_bytes = WINDOW_BYTES_PER_LINE;
    // At most this many lines in a window.
    std::uint64_t window_lines = 0;
    // Regions: a window of fewer lines than this, but the last, gets no
    // number; its lines are copied straight. 1 where every window gets one.
    std::uint64_t least_window_lines = 1;
    // Whether a window can have fewer lines than least_window_lines: only if
    // a line is longer than a window's share for each of them. The writer
    // goes by least_window_lines alone; this tells the tests and
    // bench/layout_only which plans copy lines straight.
    bool copies_lines = false;
    // Regions: how many windows may get a number, at most MAX_WINDOWS.
    std::uint64_t table_windows = 0;
    // What the windows may take in all: the region buffer and index, or all
    // the windows' write buffers together.
    std::uint64_t memory_bytes = 0;
    // One window's write buffer, at most.
    std::size_t write_buffer_bytes = 0;
    std::size_t read_bytes = 0;
    // Regions are filled, and put in order, in this many parts at once;
    // each part has its own windows' memory, the plan's memory_bytes split
    // between them.
    unsigned parts = 1;
    // All the run holds at its peak by this plan: its fixed overhead and
    // either the order alone, while it is drawn, or, while the lines are
    // written, the lengths, the windows' table, the input offsets and the
    // windows (and the order too where it is not aside).
    std::uint64_t peak_bytes = 0;
};

// How many parts each step that can split runs in: the count (two halves
// of the input), the draw (its draws made on a thread of their own) and the
// writer (at most; its plan may take fewer). Decided here alone, from what
// the machine offers (`available`, parts_available()), what a test asks
// (writer_limits::parts; 0 for as the machine offers) and the input's size
// (0 where it can't say).
struct step_parts {
    unsigned count = 1;
    unsigned draw = 1;
    unsigned write = 1;

    bool operator==(const step_parts&) const = default;
};

step_parts plan_parts(unsigned available, unsigned asked, std::uint64_t input_bytes) noexcept;

// What the offsets for the straight copies take, for `line_count` lines.
std::uint64_t input_offsets_bytes(std::uint64_t line_count) noexcept;

write_plan plan_writer(const plan_figures& figures) noexcept;

}  // namespace line_shuffler
