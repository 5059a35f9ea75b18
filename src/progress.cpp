#include "progress.h"

namespace line_shuffler {

namespace {
// "\rShuffling: 100%" is 16 characters; the eraser covers it.
constexpr const char* eraser = "\r                \r";
}  // namespace

void progress_line::measure_in(std::uint64_t total) noexcept {
    total_ = total;
    check_step_ = total / CHECKS_PER_RUN + 1;
    next_check_ = 0;
}

void progress_line::start_clock() {
    shown_ = false;
    if (console_ != nullptr) {
        started_ = clock_();
        last_drawn_ = started_;
    }
}

void progress_line::redraw(std::uint64_t done) {
    const std::int64_t now = clock_();
    if (now - started_ < QUIET_MS || (shown_ && now - last_drawn_ < REDRAW_MS)) {
        return;
    }
    const std::uint64_t percent = total_ == 0 ? 100 : done * 100 / total_;
    // The console is only a courtesy here; a failing write must not stop the
    // shuffle, and stdout's error flag still reaches the exit status.
    (void)std::fprintf(console_, "\rShuffling: %3u%%", static_cast<unsigned>(percent));
    (void)std::fflush(console_);
    shown_ = true;
    last_drawn_ = now;
}

void progress_line::erase() {
    if (shown_) {
        (void)std::fputs(eraser, console_);
        (void)std::fflush(console_);
        shown_ = false;
    }
}

}  // namespace line_shuffler
