// The second step: each region holds its window's lines in input order, and
// is read back, put in output order in memory, and written over itself.
#include "region_order.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "aside.h"
#include "input_changed.h"
#include "newline_scan.h"
#include "output_buffer.h"
#include "page_buffer.h"
#include "prefetch.h"
#include "two_parts.h"

namespace line_shuffler {

namespace {

// How many lines the reordering takes at a time.
constexpr std::size_t BATCH = 64;

// Where each of the region's lines ends. False unless the region holds
// exactly `ends.size()` lines, each ending in a newline, as laid out.
bool find_line_ends(std::span<const char> region, std::span<std::uint32_t> ends) {
    std::size_t found = 0;
    for (std::size_t stretch = 0; stretch < region.size(); stretch += SCAN_STRIDE) {
        const std::size_t left = region.size() - stretch;
        const std::uint64_t mask =
            left >= SCAN_STRIDE ? newline_mask(region.data() + stretch) : newline_mask(region.data() + stretch, left);
        const bool fits = for_each_newline(mask, stretch, [&](std::size_t end) {
            if (found == ends.size()) {
                return false;
            }
            ends[found++] = static_cast<std::uint32_t>(end);
            return true;
        });
        if (!fits) {
            return false;  // more newlines than lines
        }
    }
    return found == ends.size() && ends.back() == region.size();
}

// Writes the region's lines in output order. The lines are picked at
// random places in a region larger than the processor's cache, and each
// would wait for memory twice in a row: for its place in the window, then
// for its bytes. So a batch of lines takes one step at a time, and each step
// asks for what the next one reads: the waits of a batch overlap.
void write_in_output_order(const window_places& places, std::span<const line_number> window,
                           std::span<const char> region, std::span<const std::uint32_t> ends, output_buffer& out) {
    std::array<std::uint32_t, BATCH> starts{};
    std::array<std::uint32_t, BATCH> sizes{};
    for (std::size_t batch = 0; batch < window.size(); batch += BATCH) {
        const std::span<const line_number> lines = window.subspan(batch, std::min(BATCH, window.size() - batch));
        for (const line_number line : lines) {
            places.prefetch(line_index(line));
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::size_t place = places.place_of(line_index(lines[i]));
            starts[i] = place == 0 ? 0 : ends[place - 1];
            sizes[i] = ends[place] - starts[i];
            prefetch(region.data() + starts[i]);
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            out.write(region.subspan(starts[i], sizes[i]));
        }
    }
}

}  // namespace

void order_regions(run_state& run, const write_plan& plan, const region_layout& layout, const window_places& places) {
    // A window of one line is in its place already.
    std::uint64_t largest_bytes = 0;
    std::uint64_t largest_lines = 0;
    for (const region_window& window : layout.windows) {
        if (window.lines > 1) {
            largest_bytes = std::max(largest_bytes, window.bytes);
            largest_lines = std::max<std::uint64_t>(largest_lines, window.lines);
        }
    }
    if (largest_lines == 0) {
        return;
    }
    // The parts take the windows in turn, whichever is free first.
    std::atomic<std::size_t> next_window{0};
    std::atomic<std::uint64_t> bytes_done{0};
    // Every line has had its first move, and those copied straight their
    // only one, which counts for both.
    const std::uint64_t first_step_bytes = layout.output_bytes + layout.copied_bytes;
    run_in_parts(plan.parts, [&](unsigned part, const std::atomic<bool>& stop) {
        page_buffer region_buffer;
        region_buffer.allocate(static_cast<std::size_t>(std::max<std::uint64_t>(largest_bytes, 1)));
        const std::unique_ptr<std::uint32_t[]> ends{new std::uint32_t[static_cast<std::size_t>(largest_lines)]};
        const std::unique_ptr<line_number[]> room{new line_number[static_cast<std::size_t>(largest_lines)]};
        output_buffer out{run.output_file};
        for (std::size_t next;
             !stop.load(std::memory_order_relaxed) && (next = next_window++) < layout.windows.size();) {
            const region_window& window = layout.windows[next];
            if (window.lines > 1) {
                const std::span<char> region = region_buffer.span().first(static_cast<std::size_t>(window.bytes));
                const platform::io_result got = run.output_file.read_at(region, window.start);
                if (got < 0 || static_cast<std::size_t>(got) != region.size()) {
                    throw run_failure{failure::output_read_failed};
                }
                const std::span<std::uint32_t> line_ends{ends.get(), window.lines};
                if (!find_line_ends(region, line_ends)) {
                    input_changed();
                }
                out.move_to(window.start);
                const std::span<const line_number> order =
                    order_entries(run, window.first_line, std::size_t{window.first_line} + window.lines,
                                  {room.get(), static_cast<std::size_t>(largest_lines)});
                write_in_output_order(places, order, region, line_ends, out);
                out.flush();
                run.output_file.start_writeback(window.start, region.size());
            }
            const std::uint64_t done = bytes_done += window.bytes;
            if (part == 0) {
                run.progress.update(first_step_bytes + done);
            }
        }
        out.flush();
    });
}

}  // namespace line_shuffler
