// Gathers small writes into large ones, at the end of what was written so
// far or, for a file that holds regions, at any offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "page_buffer.h"
#include "platform.h"
#include "run_state.h"

namespace line_shuffler {

class output_buffer {
public:
    static constexpr std::size_t SIZE = std::size_t{64} * 1024;

    explicit output_buffer(platform::output_handle& file) : file_(file) { buffer_.allocate(SIZE); }

    // What follows goes to `offset` instead of after what went before.
    void move_to(std::uint64_t offset) {
        flush();
        positioned_ = true;
        position_ = offset;
    }

    void write(std::span<const char> bytes) {
        if (bytes.size() > SIZE - used_) {
            flush();
            if (bytes.size() >= SIZE) {
                write_through(bytes);
                return;
            }
        }
        std::memcpy(buffer_.span().data() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }

    void flush() {
        write_through(buffer_.span().first(used_));
        used_ = 0;
    }

    // Bytes handed to write() so far, flushed or not.
    std::uint64_t written() const noexcept { return done_ + used_; }

private:
    void write_through(std::span<const char> bytes) {
        if (bytes.empty()) {
            return;
        }
        const bool put = positioned_ ? file_.write_at(bytes, position_) : file_.write_all(bytes);
        if (!put) {
            throw run_failure{failure::write_failed};
        }
        position_ += bytes.size();
        done_ += bytes.size();
    }

    platform::output_handle& file_;
    page_buffer buffer_;
    std::size_t used_ = 0;
    bool positioned_ = false;
    std::uint64_t position_ = 0;
    std::uint64_t done_ = 0;
};

}  // namespace line_shuffler
