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
//   is read twice and written twice, however long the lines.
// - passes: for an output that can't be read back or written out of order
//   (a FIFO, a device, a file the user may not read). Each window costs a
//   pass over the input that gathers its lines, which then go out in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run_state.h"

namespace line_shuffler {

enum class write_path { regions, passes };

// A window's place among the windows, and each line's place within its
// window, are kept in the line's 2-byte slot (see line_lengths.h).
inline constexpr std::uint64_t MAX_WINDOWS = 65535;
inline constexpr std::uint64_t MAX_LINES_PER_WINDOW = 65536;

// What a window costs beside its lines' bytes, for each line: where the line
// ends in the window, and for passes which input line it is.
inline constexpr std::uint64_t WINDOW_BYTES_PER_LINE = 8;

// What the plan is made from.
struct plan_figures {
    std::uint64_t line_count = 0;
    std::uint64_t output_bytes = 0;  // the input's bytes and the added line end
    std::uint64_t taken_bytes = 0;   // what the run holds already for the lengths beyond their slots
    bool output_holds_regions = false;
    writer_limits limits;
    unsigned parts = 1;  // how many threads the machine offers, up to 2
};

struct write_plan {
    write_path path = write_path::passes;
    // A window's lines and WINDOW_BYTES_PER_LINE for each fit in this; a
    // line longer than that is a window of its own, moved in pieces.
    std::uint64_t window_bytes = 0;
    // At most this many lines in a window.
    std::uint64_t window_lines = 0;
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
};

// What the memory promise leaves for the windows, given what the rest of the
// run holds: its fixed overhead, the order and the lengths' slots.
std::uint64_t window_memory_allowed(std::uint64_t line_count, std::uint64_t taken_bytes) noexcept;

write_plan plan_writer(const plan_figures& figures) noexcept;

}  // namespace line_shuffler
