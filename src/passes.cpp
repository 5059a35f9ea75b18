// The way for an output that takes its lines in order, once (a FIFO, a
// device, or a regular file written in place because its folder can't
// hold a file without a name): each window of output lines
// costs a pass over the input, which gathers the window's lines in input
// order; they then go out in output order. A line too long for any window
// is a window of its own and goes out piece by piece as the pass meets it.
#include "passes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "line_walker.h"
#include "output_buffer.h"
#include "page_buffer.h"
#include "window_cuts.h"

namespace line_shuffler {

namespace {

// The bytes and lines of the largest window that is gathered in memory.
struct largest_window {
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
};

largest_window find_largest(const run_state& run, const write_plan& plan) {
    largest_window largest;
    walk_windows(
        run, plan, [](std::size_t, std::uint64_t) {},
        [&](std::size_t first, std::size_t end, std::uint64_t bytes) {
            const std::uint64_t lines = end - first;
            if (bytes + WINDOW_BYTES_PER_LINE * lines <= plan.window_bytes) {
                largest.bytes = std::max(largest.bytes, bytes);
                largest.lines = std::max(largest.lines, lines);
            }
        });
    return largest;
}

class window_gatherer {
public:
    window_gatherer(run_state& run, const write_plan& plan, const largest_window& cut)
        : run_(run),
          walker_(run, run.read_buffer.span().first(plan.read_bytes)),
          window_bytes_(plan.window_bytes),
          lines_(new std::uint32_t[static_cast<std::size_t>(std::max<std::uint64_t>(cut.lines, 1))]),
          ends_(new std::uint32_t[static_cast<std::size_t>(std::max<std::uint64_t>(cut.lines, 1))]) {
        bytes_.allocate(static_cast<std::size_t>(std::max<std::uint64_t>(cut.bytes, 1)));
    }

    void write_window(std::span<const line_number> window, output_buffer& out) {
        const std::size_t first = line_index(window.front());
        if (window.size() == 1 && output_length(run_, first) + WINDOW_BYTES_PER_LINE > window_bytes_) {
            walker_.walk(
                [&](std::size_t index, std::span<const char> piece) {
                    if (index == first) {
                        out.write(piece);
                    }
                },
                first);
            return;
        }
        gather(window);
        for (const line_number line : window) {
            const std::size_t place =
                static_cast<std::size_t>(std::lower_bound(lines_.get(), lines_.get() + window.size(),
                                                          static_cast<std::uint32_t>(line_index(line))) -
                                         lines_.get());
            const std::uint64_t start = place == 0 ? 0 : ends_[place - 1];
            out.write(
                bytes_.span().subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(ends_[place] - start)));
        }
    }

private:
    // Copies the window's lines into memory in input order, noting where
    // each ends and which line it is: the lines wanted, sorted, are met in
    // the walk in the same order.
    void gather(std::span<const line_number> window) {
        std::uint32_t* const lines = lines_.get();
        std::transform(window.begin(), window.end(), lines,
                       [](line_number line) { return static_cast<std::uint32_t>(line_index(line)); });
        std::sort(lines, lines + window.size());
        std::size_t found = 0;
        std::uint64_t used = 0;
        std::size_t current = static_cast<std::size_t>(-1);
        walker_.walk(
            [&](std::size_t index, std::span<const char> piece) {
                if (index != current) {
                    if (found == window.size() || index != lines[found]) {
                        return;
                    }
                    current = index;
                    ++found;
                }
                if (piece.size() > bytes_.size() - used) {
                    input_changed();  // longer than counted
                }
                std::memcpy(bytes_.span().data() + used, piece.data(), piece.size());
                used += piece.size();
                ends_[found - 1] = static_cast<std::uint32_t>(used);
            },
            lines[window.size() - 1]);
        if (found != window.size()) {
            input_changed();
        }
        // Each line as long as it was counted, or the input has changed.
        for (std::size_t place = 0; place < found; ++place) {
            const std::uint64_t start = place == 0 ? 0 : ends_[place - 1];
            if (ends_[place] - start != output_length(run_, lines[place])) {
                input_changed();
            }
        }
    }

    run_state& run_;
    line_walker walker_;
    std::uint64_t window_bytes_;
    std::unique_ptr<std::uint32_t[]> lines_;
    std::unique_ptr<std::uint32_t[]> ends_;
    page_buffer bytes_;
};

}  // namespace

void write_in_passes(run_state& run, const write_plan& plan) {
    // The windows are cut twice, once to size the memory and once to write
    // them, rather than listed: a file of very long lines has as many
    // windows as lines.
    const largest_window largest = find_largest(run, plan);
    window_gatherer gatherer{run, plan, largest};
    // Room for a window's entries of the order, while it is written.
    const auto most_lines = static_cast<std::size_t>(std::max<std::uint64_t>(largest.lines, 1));
    const std::unique_ptr<line_number[]> room{new line_number[most_lines]};
    output_buffer out{run.output_file};
    walk_windows(
        run, plan, [](std::size_t, std::uint64_t) {},
        [&](std::size_t first, std::size_t end, std::uint64_t) {
            gatherer.write_window(order_entries(run, first, end, {room.get(), most_lines}), out);
            run.progress.update(out.written());
        });
    out.flush();
}

}  // namespace line_shuffler
