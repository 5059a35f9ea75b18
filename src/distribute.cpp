// The layout of the output in regions, and the first step that fills them.
#include <algorithm>
#include <cstring>
#include <memory>

#include "line_walker.h"
#include "page_buffer.h"
#include "prefetch.h"
#include "two_parts.h"
#include "writer_steps.h"

namespace line_shuffler {

namespace {

// The first line that starts in the second half of the input, and where:
// the second part of the first step starts there. Lines before it go to the
// first part, so it is never line 0.
void split_in_halves(const run_state& run, region_layout& layout) {
    const std::size_t count = run.line_count;
    std::uint64_t offset = 0;
    std::size_t line = 0;
    while (line + 1 < count && (line == 0 || offset < run.input_size / 2)) {
        offset += run.lengths[line++];
    }
    layout.split_line = line;
    layout.split_offset = offset;
}

}  // namespace

region_layout lay_out_regions(run_state& run, const write_plan& plan) {
    region_layout layout;
    layout.split_line = run.line_count;
    if (plan.parts > 1) {
        split_in_halves(run, layout);
    }
    const std::span<line_lengths::slot> slots = run.lengths.slots();
    const line_number* const order = run.shuffle_order.get();
    const std::size_t count = run.line_count;
    // The lengths are met in output order, at random places: each is
    // fetched a few lines ahead.
    constexpr std::size_t ahead = 16;
    std::uint64_t cost = 0;  // the window's bytes and index
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    std::uint64_t first_part_bytes = 0;
    std::uint32_t first_part_lines = 0;
    for (std::size_t position = 0; position < count; ++position) {
        if (position + ahead < count) {
            prefetch(&slots[order[position + ahead] - 1]);
        }
        const std::size_t index = order[position] - 1;
        const std::uint64_t length = output_length(run, index);
        if (window_is_full(plan, cost, lines, length)) {
            layout.starts.push_back(layout.starts.back() + bytes);
            layout.first_lines.push_back(position);
            layout.first_part_bytes.push_back(first_part_bytes);
            layout.first_part_lines.push_back(first_part_lines);
            cost = bytes = lines = first_part_bytes = first_part_lines = 0;
        }
        cost += length + WINDOW_BYTES_PER_LINE;
        bytes += length;
        ++lines;
        if (index < layout.split_line) {
            first_part_bytes += length;
            ++first_part_lines;
        }
        // The plan keeps the window numbers below what a slot holds.
        slots[index] = static_cast<line_lengths::slot>(layout.windows());
    }
    layout.starts.push_back(layout.starts.back() + bytes);
    layout.first_lines.push_back(count);
    layout.first_part_bytes.push_back(first_part_bytes);
    layout.first_part_lines.push_back(first_part_lines);
    return layout;
}

namespace {

// One write buffer for each window, all in one block, and where each
// window's region is filled up to: one for each part of the first step,
// which fills its own stretch of every region.
class region_filler {
public:
    region_filler(run_state& run, const write_plan& plan, const region_layout& layout, unsigned part)
        : run_(run),
          layout_(layout),
          cursors_(layout.windows()),
          ends_(layout.windows()),
          used_(layout.windows(), 0),
          next_place_(layout.windows()) {
        const std::size_t windows = layout.windows();
        for (std::size_t window = 0; window < windows; ++window) {
            const std::uint64_t middle = layout.starts[window] + layout.first_part_bytes[window];
            cursors_[window] = part == 0 ? layout.starts[window] : middle;
            ends_[window] = part == 0 ? middle : layout.starts[window + 1];
            next_place_[window] = part == 0 ? 0 : layout.first_part_lines[window];
        }
        size_ = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(plan.memory_bytes / plan.parts / windows, 1, plan.write_buffer_bytes));
        buffers_.allocate(windows * size_);
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
            if (cursors_[window] != ends_[window]) {
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
        if (bytes.size() > ends_[window] - cursor) {
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
    std::vector<std::uint64_t> ends_;
    std::vector<std::size_t> used_;
    std::vector<std::uint32_t> next_place_;
    std::size_t size_ = 0;
    page_buffer buffers_;
};

}  // namespace

void distribute_lines(run_state& run, const write_plan& plan, const region_layout& layout) {
    // The second part publishes how far it has come, now and then, for the
    // first part's progress line.
    constexpr std::uint64_t PUBLISH_EVERY = std::uint64_t{1} << 20;
    std::atomic<std::uint64_t> second_done{0};
    run_in_parts(plan.parts, [&](unsigned part, const std::atomic<bool>& stop) {
        region_filler regions{run, plan, layout, part};
        page_buffer own_buffer;
        std::span<char> buffer = run.read_buffer.span();
        if (part != 0) {
            own_buffer.allocate(buffer.size());
            buffer = own_buffer.span();
        }
        line_walker walker{run, buffer.first(plan.read_bytes)};
        const std::size_t first = part == 0 ? 0 : layout.split_line;
        const std::size_t last = part == 0 && plan.parts > 1 ? layout.split_line - 1 : run.line_count - 1;
        std::size_t line = static_cast<std::size_t>(-1);
        std::size_t window = 0;
        std::uint64_t done = 0;
        std::uint64_t published = 0;
        struct stopped_early {};
        const auto take = [&](std::size_t index, std::span<const char> piece) {
            if (index != line) {
                line = index;
                window = regions.start_line(index);
            }
            regions.append(window, piece);
            done += piece.size();
            if (done - published >= PUBLISH_EVERY) {
                published = done;
                if (stop.load(std::memory_order_relaxed)) {
                    throw stopped_early{};
                }
                if (part == 0) {
                    run.progress.update(done + second_done.load(std::memory_order_relaxed));
                } else {
                    second_done.store(done, std::memory_order_relaxed);
                }
            }
        };
        try {
            walker.walk(take, last, first, part == 0 ? 0 : layout.split_offset);
        } catch (const stopped_early&) {
            return;  // the other part's failure is the one reported
        }
        regions.finish();
    });
}

}  // namespace line_shuffler
