// The windows too small for a number of their own, where the windows are too
// many to number them all: their lines are copied straight from the input to
// their places in the output, in output order, before the layout turns the
// slots from lengths into numbers.
//
// Such a window holds few lines only because they are long, or sit between
// long ones, so one positioned read a line costs little beside its bytes;
// and the output between the regions is written in order, once. A line is
// found in the input from the offset of every lines_per_input_offset()-th line
// and the lengths between, so this step holds no table a line.
#include "small_windows.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "line_walker.h"
#include "output_buffer.h"
#include "window_cuts.h"

namespace line_shuffler {

namespace {

class straight_copier {
public:
    straight_copier(run_state& run, const write_plan& plan)
        : run_(run),
          buffer_(run.read_buffer.span().first(plan.read_bytes)),
          offsets_(
              new std::uint64_t[static_cast<std::size_t>(input_offsets_bytes(run.line_count) / sizeof(std::uint64_t))]),
          stride_(static_cast<std::size_t>(lines_per_input_offset(run.line_count))),
          out_(run.output_file) {
        const line_lengths& lengths = run.lengths;
        const std::size_t count = run.line_count;
        std::uint64_t offset = 0;
        for (std::size_t first = 0; first < count; first += stride_) {
            offsets_[first / stride_] = offset;
            offset += lengths.total(first, std::min(first + stride_, count));
        }
    }

    // A window's lines, in output order, which fill `bytes` bytes of the
    // output from `start`. Windows that follow each other in the output
    // are written as one.
    void copy(std::span<const line_number> lines, std::uint64_t start, std::uint64_t bytes) {
        if (start != next_) {
            out_.move_to(start);
        }
        for (const line_number line : lines) {
            copy_line(line_index(line));
        }
        next_ = start + bytes;
    }

    void finish() { out_.flush(); }

private:
    void copy_line(std::size_t index) {
        const line_lengths& lengths = run_.lengths;
        const std::size_t first = index / stride_ * stride_;
        std::uint64_t offset = offsets_[index / stride_] + lengths.total(first, index);
        std::uint64_t left = lengths[index];
        const bool last = index + 1 == run_.line_count;
        while (left > 0) {
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer_.size()));
            const std::span<char> piece = buffer_.first(size);
            read_input_exactly(run_, piece, offset);
            // A line's one newline is its last byte; the last line has none.
            const bool ends_line = size == left && !last;
            if (std::memchr(piece.data(), '\n', ends_line ? size - 1 : size) != nullptr ||
                (ends_line && piece.back() != '\n')) {
                input_changed();
            }
            out_.write(piece);
            offset += size;
            left -= size;
        }
        if (last) {
            out_.write(std::span<const char>{run_.added_line_end});
        }
    }

    run_state& run_;
    std::span<char> buffer_;
    std::unique_ptr<std::uint64_t[]> offsets_;
    std::size_t stride_;
    output_buffer out_;
    std::uint64_t next_ = static_cast<std::uint64_t>(-1);
};

}  // namespace

void copy_small_windows(run_state& run, const write_plan& plan) {
    // Walked wherever a window may go without a number, even where the plan
    // finds no line long enough to leave one short of lines: the layout
    // marks every such window it meets, and its lines must be here.
    if (plan.least_window_lines <= 1) {
        return;
    }
    straight_copier copier{run, plan};
    const auto most_lines = static_cast<std::size_t>(plan.least_window_lines);
    const std::unique_ptr<line_number[]> room{new line_number[most_lines]};
    std::uint64_t start = 0;
    std::uint64_t copied = 0;
    walk_windows(
        run, plan, [](std::size_t, std::uint64_t) {},
        [&](std::size_t first, std::size_t end, std::uint64_t bytes) {
            if (!window_is_numbered(run, plan, first, end)) {
                copier.copy(order_entries(run, first, end, {room.get(), most_lines}), start, bytes);
                copied += bytes;
                // Both of the moves the progress counts for them.
                run.progress.update(2 * copied);
            }
            start += bytes;
        });
    copier.finish();
}

}  // namespace line_shuffler
