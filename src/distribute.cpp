// The layout of the output in regions, and the first step that fills them.
#include <algorithm>
#include <cstring>
#include <memory>

#include "line_walker.h"
#include "page_buffer.h"
#include "prefetch.h"
#include "writer_steps.h"

namespace line_shuffler {

region_layout lay_out_regions(run_state& run, const write_plan& plan) {
    region_layout layout;
    const std::span<line_lengths::slot> slots = run.lengths.slots();
    const line_number* const order = run.shuffle_order.get();
    const std::size_t count = run.line_count;
    // The lengths are met in output order, at random places: each is
    // fetched a few lines ahead.
    constexpr std::size_t ahead = 16;
    std::uint64_t cost = 0;  // the window's bytes and index
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    for (std::size_t position = 0; position < count; ++position) {
        if (position + ahead < count) {
            prefetch(&slots[order[position + ahead] - 1]);
        }
        const std::size_t index = order[position] - 1;
        const std::uint64_t length = output_length(run, index);
        if (lines > 0 && (cost + length + WINDOW_BYTES_PER_LINE > plan.window_bytes || lines == plan.window_lines)) {
            layout.starts.push_back(layout.starts.back() + bytes);
            layout.first_lines.push_back(position);
            cost = bytes = lines = 0;
        }
        cost += length + WINDOW_BYTES_PER_LINE;
        bytes += length;
        ++lines;
        // The plan keeps the window numbers below what a slot holds.
        slots[index] = static_cast<line_lengths::slot>(layout.windows());
    }
    layout.starts.push_back(layout.starts.back() + bytes);
    layout.first_lines.push_back(count);
    return layout;
}

namespace {

// One write buffer for each window, all in one block, and where each
// window's region is filled up to.
class region_filler {
public:
    region_filler(run_state& run, const write_plan& plan, const region_layout& layout)
        : run_(run),
          layout_(layout),
          cursors_(layout.starts.begin(), layout.starts.end() - 1),
          used_(layout.windows(), 0),
          next_place_(layout.windows(), 0) {
        const std::uint64_t windows = layout.windows();
        size_ = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(plan.memory_bytes / windows, 1, plan.write_buffer_bytes));
        buffers_.allocate(static_cast<std::size_t>(windows * size_));
    }

    // The window of the line that starts now, whose place in it is the next.
    std::size_t start_line(std::size_t index) {
        line_lengths::slot& slot = run_.lengths.slots()[index];
        const std::size_t window = slot;
        slot = static_cast<line_lengths::slot>(next_place_[window]++);
        return window;
    }

    void append(std::size_t window, std::span<const char> piece) {
        std::size_t& used = used_[window];
        if (piece.size() > size_ - used) {
            flush(window);
            if (piece.size() >= size_) {
                put(window, piece);
                return;
            }
        }
        std::memcpy(buffers_.span().data() + window * size_ + used, piece.data(), piece.size());
        used += piece.size();
    }

    // Writes what is left, and checks that every region got exactly the
    // bytes laid out for it.
    void finish() {
        for (std::size_t window = 0; window < layout_.windows(); ++window) {
            flush(window);
            if (cursors_[window] != layout_.starts[window + 1]) {
                input_changed();
            }
        }
    }

private:
    void flush(std::size_t window) {
        put(window, buffers_.span().subspan(window * size_, used_[window]));
        used_[window] = 0;
    }

    void put(std::size_t window, std::span<const char> bytes) {
        if (bytes.empty()) {
            return;
        }
        std::uint64_t& cursor = cursors_[window];
        // Lines longer than counted would spill into the next region.
        if (bytes.size() > layout_.starts[window + 1] - cursor) {
            input_changed();
        }
        if (!run_.output_file.write_at(bytes, cursor)) {
            throw run_failure{failure::write_failed};
        }
        cursor += bytes.size();
    }

    run_state& run_;
    const region_layout& layout_;
    std::vector<std::uint64_t> cursors_;
    std::vector<std::size_t> used_;
    std::vector<std::uint32_t> next_place_;
    std::size_t size_ = 0;
    page_buffer buffers_;
};

}  // namespace

void distribute_lines(run_state& run, const write_plan& plan, const region_layout& layout) {
    region_filler regions{run, plan, layout};
    line_walker walker{run, run.read_buffer.span().first(plan.read_bytes)};
    std::size_t line = static_cast<std::size_t>(-1);
    std::size_t window = 0;
    std::uint64_t done = 0;
    walker.walk(
        [&](std::size_t index, std::span<const char> piece) {
            if (index != line) {
                line = index;
                window = regions.start_line(index);
            }
            regions.append(window, piece);
            done += piece.size();
            run.progress.update(done);
        },
        run.line_count - 1);
    regions.finish();
}

}  // namespace line_shuffler
