// A one-line progress report for long shuffles on a terminal.
//
// Nothing is shown for the first second, so short runs leave the console
// exactly as the dialogue has it; after that the line is redrawn a few
// times a second, and erase() blanks it again before anything else is
// printed.
#pragma once

#include <cstdint>
#include <cstdio>

namespace line_shuffler {

class progress_line {
public:
    using millisecond_clock = std::int64_t (*)();

    static constexpr std::int64_t QUIET_MS = 1000;
    static constexpr std::int64_t REDRAW_MS = 250;

    progress_line() = default;
    progress_line(std::FILE* console, millisecond_clock clock) : console_(console), clock_(clock) {}

    // Starts the clock. Nothing is shown until measure_in() says how much
    // work there is, so the wait before that (drawing the order) counts
    // towards the quiet first second but shows no percentage.
    void start_clock();
    // The work is `total` units (bytes moved, say), counted from 0 by
    // update(); the clock goes on from start_clock().
    void measure_in(std::uint64_t total) noexcept;

    // Cheap enough to call for every line: the clock is read only after each
    // 1/CHECKS_PER_RUN of the work, however few the units or slow each one.
    void update(std::uint64_t done) {
        if (console_ != nullptr && done >= next_check_) {
            next_check_ = done + check_step_;
            redraw(done);
        }
    }

    void erase();

private:
    static constexpr std::uint64_t CHECKS_PER_RUN = 4096;

    void redraw(std::uint64_t done);

    std::FILE* console_ = nullptr;
    millisecond_clock clock_ = nullptr;
    std::uint64_t total_ = 0;
    std::uint64_t check_step_ = 1;
    // No update reaches the clock before measure_in().
    std::uint64_t next_check_ = UINT64_MAX;
    std::int64_t started_ = 0;
    std::int64_t last_drawn_ = 0;
    bool shown_ = false;
};

}  // namespace line_shuffler
