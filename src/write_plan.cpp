#include "write_plan.h"

#include <algorithm>

namespace line_shuffler {

namespace {

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;

// What a run holds besides the order, the lengths and the windows: code,
// the C library, stack, the read and output buffers, and the windows' own
// table (about 40 bytes a window). A one-line file peaks at about 3 MiB;
// the rest is slack.
constexpr std::uint64_t RUN_OVERHEAD_BYTES = 8 * MIB;

// A region's bytes are read into memory whole, and the first touch of each
// page costs time (about 11 us a 4 KiB page on this project's machines), so
// windows stay well below what the promise would allow on large inputs.
// Past this size windows cut the region reads and writes no further: they
// are large sequential transfers already.
constexpr std::uint64_t LARGEST_REGION_WINDOW_BYTES = 32 * MIB;

// A pass over the input costs the same however little it gathers, so the
// passes' windows take all the memory there is, up to what the 32-bit ends
// of their lines can address.
constexpr std::uint64_t LARGEST_PASS_WINDOW_BYTES = std::uint64_t{1} << 31;

// Below this a window would hold too few lines to be worth a pass or a
// region; the promise leaves far more, unless most lines are 64 KiB or
// longer and their lengths' table has taken it.
constexpr std::uint64_t SMALLEST_WINDOW_BYTES = std::uint64_t{64} * 1024;

// What a window gathers in the first step before it writes to its region,
// at most. Measured on 10 million lines of 31-71 bytes and 2 million of
// 400-600, five runs each: 16 KiB took 1.05-1.08 s and 1.40-1.51 s, 64 KiB
// 0.98-1.06 s and 1.19-1.32 s, 256 KiB 0.95-1.04 s and 1.07-1.22 s. Larger
// buffers cost first touches of their pages (2.9 MiB ones ran twice as
// long), and the memory promise shrinks them anyway where windows are
// many.
constexpr std::size_t WRITE_BUFFER_BYTES = std::size_t{256} * 1024;

// Below this much output a second thread costs more to start and to feed
// than it saves.
constexpr std::uint64_t SMALLEST_OUTPUT_IN_PARTS = 4 * MIB;

// Where each line of a pass's window is wanted: one bit a line.
std::uint64_t wanted_bits_bytes(std::uint64_t line_count) {
    return (line_count + 63) / 64 * sizeof(std::uint64_t);
}

}  // namespace

std::uint64_t window_memory_allowed(std::uint64_t line_count, std::uint64_t taken_bytes) noexcept {
    const std::uint64_t promised = PROMISED_BASE_BYTES + PROMISED_BYTES_PER_LINE * line_count;
    const std::uint64_t held =
        RUN_OVERHEAD_BYTES + (sizeof(line_number) + sizeof(line_lengths::slot)) * line_count + taken_bytes;
    return promised > held ? promised - held : 0;
}

write_plan plan_writer(const plan_figures& figures) noexcept {
    const writer_limits& limits = figures.limits;
    const std::uint64_t lines = std::max<std::uint64_t>(figures.line_count, 1);
    const std::uint64_t memory = window_memory_allowed(lines, figures.taken_bytes);

    write_plan plan;
    plan.read_bytes = limits.read_bytes != 0 ? std::min(limits.read_bytes, READ_BUFFER_SIZE) : READ_BUFFER_SIZE;
    plan.write_buffer_bytes = limits.write_buffer_bytes != 0 ? limits.write_buffer_bytes : WRITE_BUFFER_BYTES;

    const bool worth_two =
        limits.parts != 0 ? limits.parts >= 2 : figures.parts >= 2 && figures.output_bytes >= SMALLEST_OUTPUT_IN_PARTS;
    const unsigned most_parts = worth_two && lines >= 2 ? 2 : 1;
    for (unsigned parts = most_parts; parts >= 1 && figures.output_holds_regions && !limits.passes_only; --parts) {
        std::uint64_t window = limits.window_bytes != 0
                                   ? limits.window_bytes
                                   : std::clamp(memory / parts, SMALLEST_WINDOW_BYTES, LARGEST_REGION_WINDOW_BYTES);
        // A window closes when it has all the lines it may have, or when its
        // next line would not fit: then the two hold more than a window's
        // bytes and index, and no line is counted in more than two such
        // pairs. Windows enough to number them all are made larger.
        const std::uint64_t work = figures.output_bytes + WINDOW_BYTES_PER_LINE * lines;
        const std::uint64_t spare = MAX_WINDOWS - 1 - lines / MAX_LINES_PER_WINDOW;
        if (2 * work / window > spare) {
            window = 2 * work / spare + 1;
        }
        if (window * parts <= std::max(memory, SMALLEST_WINDOW_BYTES)) {
            plan.path = write_path::regions;
            plan.window_bytes = window;
            plan.window_lines = MAX_LINES_PER_WINDOW;
            plan.memory_bytes = std::max(memory, window * parts);
            plan.parts = parts;
            return plan;
        }
    }

    const std::uint64_t bits = wanted_bits_bytes(lines);
    const std::uint64_t left = memory > bits ? memory - bits : 0;
    plan.path = write_path::passes;
    plan.window_bytes = limits.window_bytes != 0 ? limits.window_bytes
                                                 : std::clamp(left, SMALLEST_WINDOW_BYTES, LARGEST_PASS_WINDOW_BYTES);
    plan.window_lines = lines;
    plan.memory_bytes = plan.window_bytes;
    return plan;
}

}  // namespace line_shuffler
