// What the POSIX side's two sources share: descriptors that close
// themselves, positioned reads and writes, and the output that a signal
// ending the process must empty first. Not for the rest of the tool.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "platform.h"

namespace line_shuffler::platform::posix {

inline int to_fd(std::intptr_t native) {
    return static_cast<int>(native);
}

// A descriptor that closes itself, for the steps of an open that may give
// up half-way.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) noexcept : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Standard output written into a file the run reads or writes would mix
// the dialogue with the lines. A terminal or /dev/null may be both.
bool is_stdout(const struct stat& file);

// Reads or writes all of a span at `offset`, resuming interrupted calls;
// a read is short only at the end of the file.
io_result read_fd_at(int fd, std::span<char> buffer, std::uint64_t offset);
bool write_fd_at(int fd, std::span<const char> data, std::uint64_t offset);

// An output written in place must not be left holding part of a shuffle:
// from this call until the next forget_ending_signal_output(), a signal
// that ends the process empties `fd` first.
void empty_on_ending_signal(int fd);
void forget_ending_signal_output();
// Likewise, a work name linked into `folder` for the moment of the swap is
// removed by such a signal, so that only a kill can leave it.
void remove_on_ending_signal(int folder, const std::string& name);
void forget_ending_signal_name();

}  // namespace line_shuffler::platform::posix
