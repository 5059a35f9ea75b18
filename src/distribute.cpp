// The layout of the output in regions, and the first step that fills them.
#include "distribute.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "line_walker.h"
#include "page_buffer.h"
#include "two_parts.h"
#include "window_cuts.h"

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

namespace {

// One half of the layout: the windows of positions `from` to `to` in the
// order, their regions starting from 0, numbered up from 0 (the first
// half, or the only one) or down from NO_WINDOW - 1 (the second).
struct half_layout {
    std::vector<region_window> windows;
    std::uint64_t copied_bytes = 0;
    std::uint64_t bytes = 0;
};

void lay_out_half(const run_state& run, const write_plan& plan, const region_layout& layout, window_numbers& numbers,
                  std::size_t from, std::size_t to, bool numbered_down, half_layout& half) {
    // Reserved whole, so that growing never holds two copies; untouched
    // pages cost nothing.
    half.windows.reserve(static_cast<std::size_t>(plan.table_windows));
    // Room for the entries of a window that gets no number: fewer than
    // the least a numbered one has.
    const std::unique_ptr<line_number[]> room{new line_number[static_cast<std::size_t>(plan.least_window_lines)]};
    std::uint64_t first_part_bytes = 0;
    std::uint32_t first_part_lines = 0;
    const auto number_of = [&](std::size_t windows) { return numbered_down ? NO_WINDOW - 1 - windows : windows; };
    // A window that gets no number is marked when it closes.
    std::uint64_t number = number_of(0);
    walk_windows(
        run, plan,
        [&](std::size_t index, std::uint64_t length) {
            if (index < layout.split_line) {
                first_part_bytes += length;
                ++first_part_lines;
            }
            numbers.set(index, number);
        },
        [&](std::size_t first, std::size_t end, std::uint64_t bytes) {
            if (window_is_numbered(run, plan, first, end)) {
                half.windows.push_back({half.bytes, bytes, first_part_bytes, static_cast<std::uint32_t>(first),
                                        static_cast<std::uint32_t>(end - first), first_part_lines});
                number = number_of(half.windows.size());
            } else {
                for (const line_number line :
                     order_entries(run, first, end, {room.get(), static_cast<std::size_t>(plan.least_window_lines)})) {
                    numbers.set(line_index(line), NO_WINDOW);
                }
                half.copied_bytes += bytes;
            }
            half.bytes += bytes;
            first_part_bytes = 0;
            first_part_lines = 0;
        },
        from, to);
}

}  // namespace

laid_out_regions lay_out_regions(run_state& run, const write_plan& plan) {
    region_layout layout;
    layout.split_line = run.line_count;
    if (plan.parts > 1) {
        split_in_halves(run, layout);
    }
    window_numbers numbers{run.lengths};
    // Each half of the order is cut on a thread of its own: the lengths are
    // met at random places, and each waits for memory.
    const std::size_t meet = layout_halves_meet(run, plan);
    half_layout halves[2];
    run_in_parts(meet < run.line_count ? 2 : 1, [&](unsigned part, const std::atomic<bool>&) {
        lay_out_half(run, plan, layout, numbers, part == 0 ? 0 : meet, part == 0 ? meet : run.line_count, part != 0,
                     halves[part]);
    });
    layout.windows = std::move(halves[0].windows);
    layout.first_half_windows = layout.windows.size();
    for (region_window window : halves[1].windows) {
        window.start += halves[0].bytes;
        layout.windows.push_back(window);
    }
    layout.copied_bytes = halves[0].copied_bytes + halves[1].copied_bytes;
    layout.output_bytes = halves[0].bytes + halves[1].bytes;
    return {std::move(layout), std::move(numbers)};
}

namespace {

// What a part of the first step keeps for each numbered window beside its
// write buffer: where the window's region is filled up to, how much the
// buffer holds, and the place in the window of its next line.
struct window_fill {
    std::uint64_t cursor = 0;
    std::uint32_t used = 0;
    std::uint32_t next_place = 0;
};
static_assert(sizeof(window_fill) <= WINDOW_PART_ENTRY_BYTES, "the plan counts the windows' table at its size");

// One write buffer for each window, all in one block, and where each
// window's region is filled up to: one for each part of the first step,
// which fills its own stretch of every region.
class region_filler {
public:
    region_filler(run_state& run, const write_plan& plan, const region_layout& layout, window_numbers& numbers,
                  unsigned part)
        : run_(run), layout_(layout), numbers_(numbers), part_(part), fills_(layout.windows.size()) {
        const std::size_t windows = layout.windows.size();
        for (std::size_t window = 0; window < windows; ++window) {
            const region_window& region = layout.windows[window];
            fills_[window].cursor = part == 0 ? region.start : region.start + region.first_part_bytes;
            fills_[window].next_place = part == 0 ? 0 : region.first_part_lines;
        }
        size_ = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(plan.memory_bytes / plan.parts / windows, 1, plan.write_buffer_bytes));
        buffers_.allocate(windows * size_);
    }

    // The window of the line that starts now, whose place in it is the next;
    // NO_WINDOW for a line copied straight already.
    std::size_t start_line(std::size_t index) {
        const std::size_t number = numbers_.window_of(index);
        if (number == NO_WINDOW) {
            return NO_WINDOW;
        }
        const std::size_t window = layout_.window_at(number);
        numbers_.set_place(index, fills_[window].next_place++);
        return window;
    }

    void append(std::size_t window, std::span<const char> piece) {
        window_fill& fill = fills_[window];
        if (piece.size() > size_ - fill.used) {
            flush(window);
            if (piece.size() >= size_) {
                put(window, piece);
                return;
            }
        }
        std::memcpy(buffers_.span().data() + window * size_ + fill.used, piece.data(), piece.size());
        fill.used += static_cast<std::uint32_t>(piece.size());
    }

    // Writes what is left, and checks that every region got exactly the
    // bytes laid out for it.
    void finish() {
        for (std::size_t window = 0; window < fills_.size(); ++window) {
            flush(window);
            if (fills_[window].cursor != end_of(window)) {
                input_changed();
            }
        }
    }

private:
    // Where this part's stretch of the window's region ends.
    std::uint64_t end_of(std::size_t window) const {
        const region_window& region = layout_.windows[window];
        return part_ == 0 ? region.start + region.first_part_bytes : region.start + region.bytes;
    }

    void flush(std::size_t window) {
        put(window, buffers_.span().subspan(window * size_, fills_[window].used));
        fills_[window].used = 0;
    }

    void put(std::size_t window, std::span<const char> bytes) {
        if (bytes.empty()) {
            return;
        }
        std::uint64_t& cursor = fills_[window].cursor;
        // Lines longer than counted would spill into the next region.
        if (bytes.size() > end_of(window) - cursor) {
            input_changed();
        }
        if (!run_.output_file.write_at(bytes, cursor)) {
            throw run_failure{failure::write_failed};
        }
        cursor += bytes.size();
    }

    run_state& run_;
    const region_layout& layout_;
    window_numbers& numbers_;
    unsigned part_;
    std::vector<window_fill> fills_;
    std::size_t size_ = 0;
    page_buffer buffers_;
};

}  // namespace

window_places distribute_lines(run_state& run, const write_plan& plan, const region_layout& layout,
                               window_numbers&& numbers) {
    // The second part publishes how far it has come, now and then, for the
    // first part's progress line.
    constexpr std::uint64_t PUBLISH_EVERY = std::uint64_t{1} << 20;
    std::atomic<std::uint64_t> second_done{0};
    run_in_parts(plan.parts, [&](unsigned part, const std::atomic<bool>& stop) {
        region_filler regions{run, plan, layout, numbers, part};
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
        std::uint64_t passed_over = 0;  // of the lines copied straight
        std::uint64_t published = 0;
        struct stopped_early {};
        const auto take = [&](std::size_t index, std::span<const char> piece) {
            if (index != line) {
                line = index;
                window = regions.start_line(index);
            }
            if (window != NO_WINDOW) {
                regions.append(window, piece);
            } else {
                passed_over += piece.size();
            }
            done += piece.size();
            if (done - published >= PUBLISH_EVERY) {
                published = done;
                if (stop.load(std::memory_order_relaxed)) {
                    throw stopped_early{};
                }
                // The lines copied straight counted both their moves when
                // copied.
                if (part == 0) {
                    run.progress.update(2 * layout.copied_bytes + done - passed_over +
                                        second_done.load(std::memory_order_relaxed));
                } else {
                    second_done.store(done - passed_over, std::memory_order_relaxed);
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
    return window_places{std::move(numbers)};
}

}  // namespace line_shuffler
