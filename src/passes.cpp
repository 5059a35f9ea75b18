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

// What the largest window that is gathered in memory takes: its lines'
// bytes, and line_bytes for each.
std::uint64_t find_largest(const run_state& run, const write_plan& plan) {
    std::uint64_t largest = plan.line_bytes;
    walk_windows(
        run, plan, [](std::size_t, std::uint64_t) {},
        [&](std::size_t first, std::size_t end, std::uint64_t bytes) {
            const std::uint64_t cost = bytes + plan.line_bytes * (end - first);
            if (cost <= plan.window_bytes) {
                largest = std::max(largest, cost);
            }
        });
    return largest;
}

// A window in memory, in one block of its largest size: for each line its
// entry of the order, which input line it is and where it ends among the
// lines' bytes, then the bytes.
class window_gatherer {
public:
    window_gatherer(run_state& run, const write_plan& plan, std::uint64_t largest)
        : run_(run),
          walker_(run, run.read_buffer.span().first(plan.read_bytes)),
          window_bytes_(plan.window_bytes),
          line_bytes_(plan.line_bytes) {
        memory_.allocate(static_cast<std::size_t>(largest));
    }

    // The window of positions `first` to `end` - 1 in the order.
    void write_window(std::size_t first, std::size_t end, output_buffer& out) {
        const std::size_t count = end - first;
        auto* const table = reinterpret_cast<std::uint32_t*>(memory_.span().data());
        const std::span<const line_number> window = order_entries(run_, first, end, {table, count});
        const std::size_t line = line_index(window.front());
        if (count == 1 && output_length(run_, line) + line_bytes_ > window_bytes_) {
            walker_.walk(
                [&](std::size_t index, std::span<const char> piece) {
                    if (index == line) {
                        out.write(piece);
                    }
                },
                line);
            return;
        }
        lines_ = table + count;
        ends_ = table + 2 * count;
        bytes_ = memory_.span().subspan(count * PASS_BYTES_PER_LINE);
        gather(window);
        for (const line_number entry : window) {
            const std::size_t place = static_cast<std::size_t>(
                std::lower_bound(lines_, lines_ + count, static_cast<std::uint32_t>(line_index(entry))) - lines_);
            const std::uint64_t start = place == 0 ? 0 : ends_[place - 1];
            out.write(bytes_.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(ends_[place] - start)));
        }
    }

private:
    // Copies the window's lines into memory in input order, noting where
    // each ends and which line it is: the lines wanted, sorted, are met in
    // the walk in the same order.
    void gather(std::span<const line_number> window) {
        std::uint32_t* const lines = lines_;
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
                std::memcpy(bytes_.data() + used, piece.data(), piece.size());
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
    std::uint64_t line_bytes_;
    page_buffer memory_;
    std::uint32_t* lines_ = nullptr;
    std::uint32_t* ends_ = nullptr;
    std::span<char> bytes_;
};

}  // namespace

void write_in_passes(run_state& run, const write_plan& plan) {
    // The windows are cut twice, once to size the memory and once to write
    // them, rather than listed: a file of very long lines has as many
    // windows as lines.
    window_gatherer gatherer{run, plan, find_largest(run, plan)};
    output_buffer out{run.output_file};
    walk_windows(
        run, plan, [](std::size_t, std::uint64_t) {},
        [&](std::size_t first, std::size_t end, std::uint64_t) {
            gatherer.write_window(first, end, out);
            run.progress.update(out.written());
        });
    out.flush();
}

}  // namespace line_shuffler
