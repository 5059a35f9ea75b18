#include "line_lengths.h"

#include <cstring>

namespace line_shuffler {

namespace {

// The slots' first block: large enough that the C library maps it, and
// from then on remaps it as it grows.
constexpr std::size_t FIRST_SLOTS = std::size_t{1} << 16;
constexpr std::size_t FIRST_LONG_LINES = std::size_t{1} << 16;
constexpr std::size_t FIRST_HUGE_LINES = 16;

}  // namespace

void line_lengths::clear() noexcept {
    *this = line_lengths{};
}

void line_lengths::grow() {
    slots_.resize(slots_.capacity() == 0 ? FIRST_SLOTS : slots_.capacity() * 2);
}

void line_lengths::add_long(std::uint64_t length) {
    const std::size_t index = size_;
    // The words follow the slots' capacity, but only from the first long
    // line on.
    if (words_for(index + 1) > long_words_.capacity()) {
        const std::size_t had = long_words_.capacity();
        long_words_.resize(words_for(slots_.capacity()));
        std::memset(long_words_.data() + had, 0, (long_words_.capacity() - had) * sizeof(long_word));
    }
    if (long_count_ == low_bits_.capacity()) {
        low_bits_.resize(long_count_ == 0 ? FIRST_LONG_LINES : long_count_ * 2);
    }
    const bool huge = length >= HUGE_LENGTH;
    if (huge && huge_count_ == huge_.capacity()) {
        huge_.resize(huge_count_ == 0 ? FIRST_HUGE_LINES : huge_count_ * 2);
    }
    // No long line comes before this one in its word, nor in those since
    // the last long line's.
    const std::size_t word = index / LINES_PER_WORD;
    for (; counted_words_ <= word; ++counted_words_) {
        long_words_[counted_words_].before = static_cast<std::uint32_t>(long_count_);
    }
    long_words_[word].bits |= std::uint32_t{1} << (index % LINES_PER_WORD);
    const std::uint64_t kept = std::min(length, HUGE_LENGTH);
    low_bits_[long_count_++] = static_cast<std::uint16_t>(kept);
    slots_[size_++] = static_cast<slot>(LONG_MARK | (kept >> 16));
    if (huge) {
        huge_[huge_count_++] = {index, length};
    }
    longest_ = std::max(longest_, length);
}

void line_lengths::append(line_lengths&& later, std::uint64_t carried) {
    // Taken a block of lines at a time, each block's memory given back
    // once it is joined.
    constexpr std::size_t BLOCK = std::size_t{1} << 18;
    for (std::size_t first = 0; first < later.size_; first += BLOCK) {
        const std::size_t end = std::min(later.size_, first + BLOCK);
        std::size_t index = first;
        if (index == 0) {
            add(later[0] + carried);
            index = 1;
        }
        if (later.long_count_ != 0) {
            for (; index < end; ++index) {
                add(later[index]);
            }
        } else {
            // Without long lines the slots are the lengths: they join as
            // they are.
            while (slots_.capacity() - size_ < end - index) {
                grow();
            }
            std::memcpy(slots_.data() + size_, later.slots_.data() + index, (end - index) * sizeof(slot));
            size_ += end - index;
            longest_ = std::max(longest_, later.longest_);
        }
        later.give_back_before(end);
    }
    later.clear();
}

void line_lengths::give_back_before(std::size_t index) noexcept {
    platform::discard(slots_.data(), index * sizeof(slot));
    if (long_count_ != 0) {
        const std::size_t words = std::min(index / LINES_PER_WORD, counted_words_);
        const std::size_t ranked = words < counted_words_ ? long_words_[words].before : long_count_;
        platform::discard(long_words_.data(), words * sizeof(long_word));
        platform::discard(low_bits_.data(), ranked * sizeof(std::uint16_t));
    }
}

void line_lengths::shrink_to_fit() noexcept {
    slots_.shrink(size_);
    if (long_count_ != 0) {
        long_words_.shrink(words_for(size_));
    }
    low_bits_.shrink(long_count_);
    huge_.shrink(huge_count_);
}

std::uint64_t line_lengths::memory_for(std::uint64_t lines, std::uint64_t long_lines,
                                       std::uint64_t huge_lines) noexcept {
    std::uint64_t bytes = lines * sizeof(slot) + huge_lines * sizeof(huge_line);
    if (long_lines != 0) {
        bytes += std::min(words_for(lines) * sizeof(long_word) + long_lines * sizeof(std::uint16_t),
                          lines * sizeof(std::uint16_t));
    }
    return bytes;
}

std::uint64_t line_lengths::long_length(std::size_t index, slot value, std::size_t rank) const noexcept {
    const std::uint64_t kept = std::uint64_t{static_cast<slot>(value & ~LONG_MARK)} << 16 | low_bits_[rank];
    return kept < HUGE_LENGTH ? kept : huge_length(index);
}

std::uint64_t line_lengths::huge_length(std::size_t index) const noexcept {
    const huge_line* const first = huge_.data();
    const huge_line* const found =
        std::lower_bound(first, first + huge_count_, index,
                         [](const huge_line& line, std::size_t wanted) { return line.index < wanted; });
    return found->length;
}

std::uint64_t line_lengths::total(std::size_t first, std::size_t end) const noexcept {
    std::uint64_t sum = 0;
    std::size_t next_rank = 0;
    bool ranked = false;
    for (std::size_t index = first; index < end; ++index) {
        const slot value = slots_[index];
        if (value < LONG_MARK) {
            sum += value;
            continue;
        }
        if (!ranked) {
            next_rank = rank(index);
            ranked = true;
        }
        sum += long_length(index, value, by_line_ ? index : next_rank++);
    }
    return sum;
}

}  // namespace line_shuffler
