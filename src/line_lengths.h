// Every input line's length, learned while counting: 2 bytes a line, and,
// in a file that has lines of 32 KiB or longer, 2 bits a line and 2 more
// bytes for each such line; or, once put aside and taken back where nearly
// every line is long, 2 more bytes for every line instead, whichever is
// less.
//
// The writer lays the output out from them before it reads a line: each
// window of output lines gets its own region of the output file, as long
// as its lines are.
//
// A slot below LONG_LENGTH is its line's length. A longer line's slot has
// its top bit set and holds the length's high 15 bits; the low 16 are in a
// side array, one entry for each long line, in line order and without an
// index, since the index would cost more than the entry. A long line finds
// its entry by its rank among the long lines: for every 32 lines a word
// holds a bit for each that is long and the count of long lines before
// them, 2 bits a line, so a rank is one read and a popcount. A long line
// holds at least 32 KiB of the file, so what they take grows with the file
// far more slowly than the file does, and a file without one allocates none
// of it. A length of HUGE_LENGTH or more (at most one per 2 GiB of the
// file) is kept whole in a third table, by line.
//
// Once the layout is made, the writer needs the lengths no more and reuses
// the slots for other numbers a line: its window, then its place in the
// window. That is why the slots are open to it; the words of long lines
// stay as they were, so the lines not yet laid out keep their lengths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "grown_array.h"
#include "newline_scan.h"
#include "prefetch.h"

namespace line_shuffler {

class line_lengths {
public:
    using slot = std::uint16_t;
    // Lengths from this on are long: beside their slot they take an entry
    // of the side array.
    static constexpr std::uint64_t LONG_LENGTH = 0x8000;
    // Lengths from this on are huge: kept whole in a table of their own.
    static constexpr std::uint64_t HUGE_LENGTH = 0x7FFF'FFFF;

    // Forgets every length and gives back all memory.
    void clear() noexcept;

    // The length of the next line; throws std::bad_alloc.
    void add(std::uint64_t length) {
        if (size_ == slots_.capacity()) {
            grow();
        }
        if (length < LONG_LENGTH) {
            slots_[size_++] = static_cast<slot>(length);
            longest_ = std::max(longest_, length);
        } else {
            add_long(length);
        }
    }

    // The lengths of `later`, the lines that follow these, with `carried`
    // added to its first: the part of that line that came before `later`
    // began. `later` is emptied, and gives back its memory as its lines
    // are taken, so that the two never hold more than the lengths joined.
    // Throws std::bad_alloc.
    void append(line_lengths&& later, std::uint64_t carried);

    // Gives back what growing reserved and was not used.
    void shrink_to_fit() noexcept;

    std::size_t size() const noexcept { return size_; }

    // The length of line `index` (from 0), while the slots hold lengths.
    std::uint64_t operator[](std::size_t index) const noexcept {
        const slot value = slots_[index];
        return value < LONG_MARK ? value : long_length(index, value, rank(index));
    }

    // Where the length of line `index` will be read: its slot and, once
    // there are long lines, the word its rank is counted from.
    void prefetch(std::size_t index) const noexcept {
        line_shuffler::prefetch(slots_.data() + index);
        if (long_count_ != 0 && !by_line_) {
            line_shuffler::prefetch(long_words_.data() + index / LINES_PER_WORD);
        }
    }

    // Then, once they have come, where a long line's low bits are: lengths
    // read in random order wait for memory three times in a row, for the
    // slot, the word and the low bits, unless each is asked for ahead.
    void prefetch_low_bits(std::size_t index) const noexcept {
        if (long_count_ != 0 && slots_[index] >= LONG_MARK) {
            line_shuffler::prefetch(low_bits_.data() + rank(index));
        }
    }

    // The lengths of lines `first` to `end` - 1 added up, while the slots
    // hold lengths: each long line's rank is counted once for the stretch.
    std::uint64_t total(std::size_t first, std::size_t end) const noexcept;

    std::uint64_t longest() const noexcept { return longest_; }
    std::uint64_t long_lines() const noexcept { return long_count_; }

    // What the lengths hold resident, at most.
    std::uint64_t memory_bytes() const noexcept {
        return slots_.bytes() + long_words_.bytes() + low_bits_.bytes() + huge_.bytes();
    }

    // What the lengths of `lines` lines hold once counted, of which
    // `long_lines` are LONG_LENGTH or longer and `huge_lines` of those
    // HUGE_LENGTH or longer: memory_bytes() after shrink_to_fit().
    static std::uint64_t memory_for(std::uint64_t lines, std::uint64_t long_lines, std::uint64_t huge_lines) noexcept;

    // Hands every table to write(bytes), one after the other, and gives
    // back their memory; the figures (size, longest, long lines) stay.
    // take_back(read, block) reads them again, read(bytes, at) taking
    // each from where it was written, the slots into the pages of `block`,
    // which is left empty. A run puts the
    // lengths aside while the order is drawn, and takes them back into the
    // order's block once the order is aside in its turn.
    template <typename writer>
    void put_aside(writer&& write) {
        write(as_bytes(slots_, size_));
        write(as_bytes(long_words_, counted_words_));
        write(as_bytes(low_bits_, long_count_));
        write(as_bytes(huge_, huge_count_));
        slots_.reset();
        long_words_.reset();
        low_bits_.reset();
        huge_.reset();
    }

    template <typename reader, typename other>
    void take_back(reader&& read, grown_array<other>& block) {
        // Only the words up to the last long line's are set, and read.
        const std::uint64_t words_bytes = std::uint64_t{counted_words_} * sizeof(long_word);
        const std::uint64_t low_bits_at = std::uint64_t{size_} * sizeof(slot) + words_bytes;
        // Where nearly every line is long, their low bits by line take less
        // than the words and the low bits by rank: at most as much as the
        // slots, so that the lengths never take more than the order did.
        by_line_ = long_count_ != 0 && words_bytes + long_count_ * sizeof(std::uint16_t) > size_ * sizeof(slot);
        slots_.take_block(block, size_);
        if (slots_.capacity() < size_) {
            slots_.resize(size_);
        }
        read(as_bytes(slots_, size_), 0);
        huge_.resize(huge_count_);
        read(as_bytes(huge_, huge_count_), low_bits_at + long_count_ * sizeof(std::uint16_t));
        if (!by_line_) {
            long_words_.resize(long_count_ != 0 ? words_for(size_) : 0);
            low_bits_.resize(long_count_);
            read(as_bytes(long_words_, counted_words_), low_bits_at - words_bytes);
            read(as_bytes(low_bits_, long_count_), low_bits_at);
            return;
        }
        take_low_bits_by_line(read, low_bits_at);
    }

    std::span<slot> slots() noexcept { return {slots_.data(), size_}; }
    std::span<const slot> slots() const noexcept { return {slots_.data(), size_}; }

private:
    static constexpr slot LONG_MARK = 0x8000;
    static constexpr std::size_t LINES_PER_WORD = 32;

    // For LINES_PER_WORD lines: how many long lines come before them, and a
    // bit for each of them that is long.
    struct long_word {
        std::uint32_t before;
        std::uint32_t bits;
    };

    struct huge_line {
        std::uint64_t index;
        std::uint64_t length;
    };

    // The low bits, aside in rank order from `at`, into an entry for
    // every line, a piece at a time.
    template <typename reader>
    void take_low_bits_by_line(reader&& read, std::uint64_t at) {
        low_bits_.resize(size_);
        std::uint16_t piece[4096];
        std::size_t held = 0;
        std::size_t next = 0;
        std::size_t taken = 0;
        for (std::size_t index = 0; index < size_; ++index) {
            if (slots_[index] < LONG_MARK) {
                continue;
            }
            if (next == held) {
                held = std::min(std::size(piece), long_count_ - taken);
                read(std::span<char>{reinterpret_cast<char*>(piece), held * sizeof(std::uint16_t)},
                     at + taken * sizeof(std::uint16_t));
                next = 0;
            }
            low_bits_[index] = piece[next++];
            ++taken;
        }
    }

    template <typename value>
    static std::span<char> as_bytes(grown_array<value>& array, std::size_t entries) noexcept {
        return {reinterpret_cast<char*>(array.data()), entries * sizeof(value)};
    }

    static std::size_t words_for(std::uint64_t lines) noexcept {
        return static_cast<std::size_t>((lines + LINES_PER_WORD - 1) / LINES_PER_WORD);
    }

    void grow();
    void add_long(std::uint64_t length);
    // Gives back the memory that only lines before `index` use.
    void give_back_before(std::size_t index) noexcept;
    // How many long lines come before long line `index`.
    std::size_t rank(std::size_t index) const noexcept {
        if (by_line_) {
            return index;
        }
        const long_word& word = long_words_[index / LINES_PER_WORD];
        const std::uint32_t earlier = (std::uint32_t{1} << (index % LINES_PER_WORD)) - 1;
        return word.before + static_cast<std::size_t>(count_bits(word.bits & earlier));
    }
    std::uint64_t long_length(std::size_t index, slot value, std::size_t rank) const noexcept;
    std::uint64_t huge_length(std::size_t index) const noexcept;

    grown_array<slot> slots_;
    std::size_t size_ = 0;
    std::uint64_t longest_ = 0;
    // Allocated with the first long line. Each word's count is set up to
    // the last long line's word: ranks are asked only of long lines.
    grown_array<long_word> long_words_;
    std::size_t counted_words_ = 0;
    grown_array<std::uint16_t> low_bits_;
    std::size_t long_count_ = 0;
    grown_array<huge_line> huge_;
    std::size_t huge_count_ = 0;
    // Whether low_bits_ holds an entry for every line, in line order, and
    // long_words_ none: a line's rank is then the line itself.
    bool by_line_ = false;
};

}  // namespace line_shuffler
