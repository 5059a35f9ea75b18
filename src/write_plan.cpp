#include "write_plan.h"

#include <algorithm>

namespace line_shuffler {

namespace {

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;

// What a run holds besides the order, the lengths, the windows' table and
// the windows: code, the C library, the threads' stacks, the 1 MiB read
// buffer of each part, the 64 KiB output buffer of each, the digest's
// sums (at most 64 KiB), the draw's ring of picks (256 KiB), the pieces of
// the order read back (64 KiB for each walk of the windows, 256 KiB for
// each part of the second step). A one-line
// file peaks at about 3 MiB; the rest is slack. (The count's second part
// holds its half's lengths apart until they join the first's: 3 bytes a
// line at most, before the order's 4 are taken.)
constexpr std::uint64_t RUN_OVERHEAD_BYTES = 8 * MIB;

// A region's bytes are read into memory whole, and the first touch of each
// page costs time (about 11 us a 4 KiB page on this project's machines), so
// windows stay well below what the promise would allow on large inputs.
// Past this size windows cut the region reads and writes no further: they
// are large sequential transfers already.
constexpr std::uint64_t LARGEST_REGION_WINDOW_BYTES = 32 * MIB;

// The most any window may hold, as the 32-bit ends of its lines can
// address it. A pass over the input costs the same however little it
// gathers, so the passes' windows take all the memory there is, up to this.
constexpr std::uint64_t LARGEST_WINDOW_BYTES = std::uint64_t{1} << 31;

// Below this a window would hold too few lines to be worth a pass or a
// region; the promise leaves far more.
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

std::uint64_t less(std::uint64_t from, std::uint64_t taken) {
    return from > taken ? from - taken : 0;
}

// The windows' table for `windows` windows filled in `parts` parts.
std::uint64_t table_bytes(std::uint64_t windows, unsigned parts) {
    return windows * (WINDOW_ENTRY_BYTES + parts * WINDOW_PART_ENTRY_BYTES);
}

// Windows of at least `window` bytes, as large as it takes for a number to
// be left for every one, and how many there can be. A window closes when it
// has all the lines it may have, or when its next line would not fit: then
// the two hold more than a window's bytes and index, and no line is counted
// in more than two such pairs, so there are fewer than 2 * work / window
// windows of the second kind; one more ends where the layout's halves meet.
struct numbered_windows {
    std::uint64_t window = 0;
    std::uint64_t windows = 0;  // at most
};

numbered_windows number_every_window(std::uint64_t window, std::uint64_t work, std::uint64_t lines) {
    const std::uint64_t spare = MAX_WINDOWS - 2 - lines / MAX_LINES_PER_WINDOW;
    if (2 * work / window > spare) {
        window = 2 * work / spare + 1;
    }
    return {window, std::min(2 * work / window + lines / MAX_LINES_PER_WINDOW + 2, lines)};
}

}  // namespace

step_parts plan_parts(unsigned available, unsigned asked, std::uint64_t input_bytes) noexcept {
    const bool two = (asked != 0 ? asked : available) >= 2;
    step_parts parts;
    parts.count = two && input_bytes >= 2 * COUNT_READ_SIZE ? 2 : 1;
    parts.draw = two ? 2 : 1;
    parts.write = two && (asked != 0 || input_bytes >= SMALLEST_OUTPUT_IN_PARTS) ? 2 : 1;
    return parts;
}

std::uint64_t input_offsets_bytes(std::uint64_t line_count) noexcept {
    return (line_count / lines_per_input_offset(line_count) + 1) * sizeof(std::uint64_t);
}

namespace {

void plan_regions(const plan_figures& figures, std::uint64_t left, unsigned most_parts, write_plan& plan) {
    const writer_limits& limits = figures.limits;
    const std::uint64_t lines = std::max<std::uint64_t>(figures.line_count, 1);
    const std::uint64_t work = figures.output_bytes + WINDOW_BYTES_PER_LINE * lines;
    const std::uint64_t most_windows = std::min(MAX_WINDOWS, lines);
    const std::uint64_t offsets = input_offsets_bytes(lines);
    plan.path = write_path::regions;
    plan.window_lines = MAX_LINES_PER_WINDOW;

    // `held` is what the table and the offsets take; `memory` what is left.
    const auto take = [&](unsigned parts, std::uint64_t window, std::uint64_t least, std::uint64_t windows,
                          std::uint64_t held, std::uint64_t memory) {
        plan.parts = parts;
        plan.window_bytes = window;
        plan.least_window_lines = least;
        plan.copies_lines = least > 1 && (figures.longest_line + WINDOW_BYTES_PER_LINE > window / least ||
                                          least > MAX_LINES_PER_WINDOW);
        plan.table_windows = windows;
        plan.memory_bytes = std::max(memory, window * parts);
        plan.peak_bytes += held + plan.memory_bytes;
    };

    // Every window numbered, where the windows that takes fit in memory.
    // Tests may ask for windows of few lines to be copied straight all the
    // same.
    const std::uint64_t least_asked = std::max<std::uint64_t>(limits.least_window_lines, 1);
    const std::uint64_t held_for_least = least_asked > 1 ? offsets : 0;
    for (unsigned parts = most_parts; parts >= 1; --parts) {
        const std::uint64_t held = table_bytes(most_windows, parts) + held_for_least;
        const std::uint64_t memory = less(left, held);
        const numbered_windows numbered = number_every_window(
            limits.window_bytes != 0 ? limits.window_bytes
                                     : std::clamp(memory / parts, SMALLEST_WINDOW_BYTES, LARGEST_REGION_WINDOW_BYTES),
            work, lines);
        if (numbered.window <= LARGEST_WINDOW_BYTES &&
            numbered.window * parts <= std::max(memory, SMALLEST_WINDOW_BYTES)) {
            take(parts, numbered.window, least_asked, numbered.windows, held, memory);
            return;
        }
    }

    // Too many windows to number them all in the memory there is, such as
    // lines of 64 KiB and more by the million: only windows of at least
    // `least` lines get a number, so that there are few enough of them, and
    // windows as large as memory allows keep the lines that are copied
    // straight to those far longer than their share. Two parts are worth
    // it only if windows of that many average lines still fit.
    const std::uint64_t least =
        std::max({std::uint64_t{2}, (lines + MAX_WINDOWS - 2) / (MAX_WINDOWS - 1), least_asked});
    const std::uint64_t average = work / lines;
    const std::uint64_t windows = std::min(most_windows, lines / least + 1);
    for (unsigned parts = most_parts; parts >= 1; --parts) {
        const std::uint64_t held = table_bytes(windows, parts) + offsets;
        const std::uint64_t memory = less(left, held);
        const std::uint64_t window = limits.window_bytes != 0
                                         ? limits.window_bytes
                                         : std::clamp(memory / parts, SMALLEST_WINDOW_BYTES, LARGEST_WINDOW_BYTES);
        if (parts == 1 || average <= window / least) {
            take(parts, window, least, windows, held, memory);
            return;
        }
    }
}

void plan_passes(const plan_figures& figures, std::uint64_t left, write_plan& plan) {
    plan.path = write_path::passes;
    plan.line_bytes = PASS_BYTES_PER_LINE;
    plan.window_bytes = figures.limits.window_bytes != 0
                            ? figures.limits.window_bytes
                            : std::clamp(left, SMALLEST_WINDOW_BYTES, LARGEST_WINDOW_BYTES);
    plan.window_lines = std::max<std::uint64_t>(figures.line_count, 1);
    plan.memory_bytes = plan.window_bytes;
    plan.peak_bytes += plan.memory_bytes;
}

}  // namespace

write_plan plan_writer(const plan_figures& figures) noexcept {
    const writer_limits& limits = figures.limits;
    const std::uint64_t lines = std::max<std::uint64_t>(figures.line_count, 1);
    const std::uint64_t per_line = figures.order_aside ? PROMISED_BYTES_PER_LINE : IN_MEMORY_BYTES_PER_LINE;
    const std::uint64_t promised = PROMISED_BASE_BYTES + per_line * lines;
    const std::uint64_t order = sizeof(line_number) * lines;
    // While the order is drawn, the lengths are aside; while the lines are
    // written, the order is.
    const std::uint64_t drawing = RUN_OVERHEAD_BYTES + order + (figures.order_aside ? 0 : figures.lengths_bytes);
    const std::uint64_t held = RUN_OVERHEAD_BYTES + figures.lengths_bytes + (figures.order_aside ? 0 : order);
    const std::uint64_t left = less(promised, held);

    write_plan plan;
    plan.read_bytes = limits.read_bytes != 0 ? std::min(limits.read_bytes, READ_BUFFER_SIZE) : READ_BUFFER_SIZE;
    plan.write_buffer_bytes = limits.write_buffer_bytes != 0 ? limits.write_buffer_bytes : WRITE_BUFFER_BYTES;
    plan.peak_bytes = held;

    if (figures.output_reads_back && !limits.passes_only) {
        plan_regions(figures, left, figures.parts >= 2 && lines >= 2 ? 2 : 1, plan);
    } else {
        plan_passes(figures, left, plan);
    }
    plan.peak_bytes = std::max(plan.peak_bytes, drawing);
    return plan;
}

}  // namespace line_shuffler
