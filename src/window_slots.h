// Each line's 2-byte slot (line_lengths::slot) once the writer has laid the
// output out in regions: its lengths are needed no more, and the slot holds
// the line's window number, then its place among its window's lines. Each
// meaning has a type of its own over the same slots, so that code of one
// phase can't read another's number, or a length, by mistake; neither copies
// a slot nor takes memory of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "line_lengths.h"
#include "prefetch.h"
#include "write_plan.h"

namespace line_shuffler {

// Every line's window, or NO_WINDOW for a line copied straight: what the
// layout leaves and the first step reads.
class window_numbers {
public:
    // The slots of `lengths`, which hold lengths no more once a number is
    // set: the layout sets line i's number only after reading its length.
    explicit window_numbers(line_lengths& lengths) noexcept : slots_(lengths.slots()) {}
    // Handed on, the numbers leave none behind: the first step's places
    // overwrite them.
    window_numbers(window_numbers&& other) noexcept : slots_(std::exchange(other.slots_, {})) {}
    window_numbers(const window_numbers&) = delete;
    window_numbers& operator=(const window_numbers&) = delete;
    window_numbers& operator=(window_numbers&&) = delete;
    ~window_numbers() = default;

    // The plan keeps the numbers below NO_WINDOW, which fits a slot.
    void set(std::size_t index, std::uint64_t window) noexcept {
        slots_[index] = static_cast<line_lengths::slot>(window);
    }
    std::size_t window_of(std::size_t index) const noexcept { return slots_[index]; }

    // The first step meets every line of a numbered window once, reads its
    // number and leaves its place in the window instead; a window holds at
    // most MAX_LINES_PER_WINDOW lines, so a place fits a slot too.
    void set_place(std::size_t index, std::uint32_t place) noexcept {
        slots_[index] = static_cast<line_lengths::slot>(place);
    }

private:
    friend class window_places;
    std::span<line_lengths::slot> slots_;
};

// Every line's place among its window's lines, in input order: what the
// first step leaves and the second reads.
class window_places {
public:
    // Once the first step has met every line of a numbered window.
    explicit window_places(window_numbers&& filled) noexcept : slots_(std::exchange(filled.slots_, {})) {}

    std::size_t place_of(std::size_t index) const noexcept { return slots_[index]; }
    void prefetch(std::size_t index) const noexcept { line_shuffler::prefetch(slots_.data() + index); }

private:
    std::span<const line_lengths::slot> slots_;
};

}  // namespace line_shuffler
