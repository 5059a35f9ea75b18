// Where every few lines of the input start, so that the writer can reach any
// line with a positioned read from a nearby mark instead of re-reading the
// input from its start.
//
// Marks sit on lines 1, 1 + K, 1 + 2K, ... for a power-of-two interval K.
// The interval starts at 1 and doubles (dropping every other mark) whenever
// the marks would outgrow their budget: MIN_MARKS, or one mark for every
// eight lines counted. Small inputs, and inputs of few long lines, thus get a
// mark on every line; large inputs of short lines settle at K = 16.
//
// Each mark keeps only the low 32 bits of its offset. Offsets only grow, so
// the high part changes at most once every 4 GiB of input; a small table
// records the first mark of each 4 GiB epoch. A mark costs 4 bytes, a
// quarter of a byte per line at K = 16, while inputs of any size work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace line_shuffler {

struct line_mark {
    std::uint64_t line_number;  // 1-based
    std::uint64_t offset;       // byte offset where that line starts
};

class line_marks {
public:
    static constexpr std::size_t MIN_MARKS = std::size_t{1} << 16;
    // Past MIN_MARKS, the marks are thinned whenever they stand for fewer
    // lines than this each, counting up to the newest mark. With the first
    // mark on line 1, an interval of 8 always falls just short, so long
    // inputs of short lines settle at an interval of 16.
    static constexpr std::uint64_t MIN_LINES_PER_MARK = 8;

    // No marks, and no memory taken, until a count starts: the run's state
    // is made before anything could report running out of memory.
    line_marks() = default;

    // Starts a count: forgets all marks but the one every input has, line 1
    // at offset 0. Throws std::bad_alloc.
    void start();

    // Called with the start of every line after the first, in order, after
    // start(). Throws std::bad_alloc.
    void note_line_start(std::uint64_t line_number, std::uint64_t offset) {
        if (((line_number - 1) & (interval_ - 1)) != 0) {
            return;
        }
        append(offset);
        if (low_.size() > MIN_MARKS && low_.size() > line_number / MIN_LINES_PER_MARK) {
            thin_out();
        }
    }

    // The nearest mark at or before the given 1-based line, once started.
    line_mark mark_at_or_before(std::uint64_t line_number) const;

    std::uint64_t interval() const noexcept { return interval_; }
    // What the marks may hold resident: all they have reserved.
    std::uint64_t memory_bytes() const noexcept {
        return low_.capacity() * sizeof(std::uint32_t) + epoch_starts_.capacity() * sizeof(std::size_t);
    }
    std::size_t size() const noexcept { return low_.size(); }

private:
    void append(std::uint64_t offset);
    void thin_out();
    std::uint64_t offset_of(std::size_t index) const;

    // The interval is a power of two, and a shift is far cheaper than a
    // division in a lookup made for every wanted line.
    std::uint64_t interval_ = 1;
    unsigned interval_shift_ = 0;
    std::vector<std::uint32_t> low_;
    // epoch_starts_[h] is the index of the first mark at or beyond
    // (h + 1) * 4 GiB.
    std::vector<std::size_t> epoch_starts_;
};

}  // namespace line_shuffler
