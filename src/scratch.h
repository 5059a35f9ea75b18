// Where a run keeps a table a line that it doesn't need in memory at the
// time: the lengths while the order is drawn, and the order while the
// output is laid out and filled. Held at once, the two would take 6 bytes
// a line; put aside in turn, never more than the order's 4.
//
// The space lies past the end of the work file where the output is sorted
// in one (the writer never writes there, and it is cut off before the
// output gets its name), and otherwise in a file of its own without a name
// in the temporary folder. Either goes with the run, however it ends.
#pragma once

#include <cstdint>
#include <span>

#include "platform.h"

namespace line_shuffler {

class scratch_space {
public:
    // The work file from `from` on.
    void use_work_file(platform::output_handle& work, std::uint64_t from) noexcept;
    // A file of its own; false where none can be had.
    bool use_own_file();
    bool usable() const noexcept { return work_ != nullptr || own_.is_open(); }

    // Writes all of `bytes` at `at`, counted from the space's start. A
    // failure, a full disk among them, fails the run as a write to the
    // output does.
    void write(std::span<const char> bytes, std::uint64_t at);
    // Reads exactly `bytes.size()` bytes back from `at`.
    void read(std::span<char> bytes, std::uint64_t at) const;

    // Gives the space back before the output is named: the work file is
    // cut to its first `output_bytes`, a file of its own closed.
    void release(std::uint64_t output_bytes);

private:
    platform::output_handle* work_ = nullptr;
    std::uint64_t from_ = 0;
    platform::scratch_handle own_;
};

}  // namespace line_shuffler
