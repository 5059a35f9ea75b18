// Counting the input's lines, their lengths and its digest in one read.
#include "count.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "input_digest.h"
#include "newline_scan.h"

namespace line_shuffler {

namespace {

// Each of the count's reads is one block of the digest, hashed as its
// newlines are found.
static_assert(COUNT_READ_SIZE == DIGEST_BLOCK_BYTES && DIGEST_STRETCH == SCAN_STRIDE);

// Counts the input's newlines stretch by stretch, notes every line's
// length and takes the input's digest.
class newline_counter {
public:
    newline_counter(line_lengths& lengths, input_digest& digest, std::uint64_t max_lines)
        : lengths_(lengths), digest_(digest), max_lines_(max_lines) {}

    // Takes the next block of the input, which starts at `offset`.
    void add(std::span<const char> block, std::uint64_t offset) {
        if (newlines_ == 0) {
            note_first_line_end(block);
        }
        const char* const begin = block.data();
        const std::size_t whole = block.size() / SCAN_STRIDE * SCAN_STRIDE;
        block_hasher hasher;
        std::uint64_t masks[DIGEST_CHUNK_BYTES / SCAN_STRIDE];
        for (std::size_t chunk = 0; chunk < whole; chunk += DIGEST_CHUNK_BYTES) {
            const std::size_t stretches = (std::min(whole, chunk + DIGEST_CHUNK_BYTES) - chunk) / SCAN_STRIDE;
            hasher.absorb_scanning(begin + chunk, stretches, masks);
            for (std::size_t i = 0; i < stretches; ++i) {
                add_stretch(masks[i], offset + chunk + i * SCAN_STRIDE);
            }
        }
        if (whole < block.size()) {
            add_stretch(newline_mask(begin + whole, block.size() - whole), offset + whole);
            hasher.absorb_tail(begin + whole, block.size() - whole);
        }
        const std::uint64_t index = offset / DIGEST_BLOCK_BYTES;
        digest_.add_block(index, hasher.finish(index, block.size()));
        byte_before_ = block.back();
    }

    // The last line runs from the last newline to the end of the input.
    std::uint64_t finish(std::uint64_t input_size) {
        lengths_.add(input_size - line_start_);
        lengths_.shrink_to_fit();
        return newlines_ + 1;
    }

    std::string_view added_line_end() const noexcept { return added_line_end_; }

private:
    // The line end put after the last line is the first line's own.
    void note_first_line_end(std::span<const char> block) {
        const void* newline = std::memchr(block.data(), '\n', block.size());
        if (newline != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(newline) - block.data());
            const char before = at > 0 ? block[at - 1] : byte_before_;
            added_line_end_ = before == '\r' ? std::string_view{"\r\n"} : std::string_view{"\n"};
        }
    }

    void add_stretch(std::uint64_t mask, std::uint64_t offset) {
        if (mask == 0) {
            return;
        }
        const std::uint64_t found = count_bits(mask);
        if (newlines_ + found + 1 > max_lines_) {
            throw run_failure{failure::too_many_lines};
        }
        newlines_ += found;
        for (; mask != 0; mask &= mask - 1) {
            const std::uint64_t next_start = offset + static_cast<std::uint64_t>(std::countr_zero(mask)) + 1;
            lengths_.add(next_start - line_start_);
            line_start_ = next_start;
        }
    }

    line_lengths& lengths_;
    input_digest& digest_;
    std::uint64_t max_lines_;
    std::uint64_t newlines_ = 0;
    std::uint64_t line_start_ = 0;
    char byte_before_ = '\0';
    std::string_view added_line_end_ = "\n";
};

}  // namespace

line_number count_lines(run_state& run) {
    run.lengths.clear();
    run.digest.clear();
    run.read_buffer.allocate(READ_BUFFER_SIZE);
    const std::span<char> block = run.read_buffer.span().first(COUNT_READ_SIZE);
    newline_counter counter{run.lengths, run.digest, run.max_line_count};
    std::uint64_t offset = 0;
    for (;;) {
        const platform::io_result got = run.input_file.read_at(block, offset);
        if (got < 0) {
            throw run_failure{failure::read_failed};
        }
        if (got == 0) {
            break;
        }
        counter.add(block.first(static_cast<std::size_t>(got)), offset);
        offset += static_cast<std::uint64_t>(got);
        if (static_cast<std::size_t>(got) < block.size()) {
            break;  // a short read has met the end already
        }
    }
    run.input_size = offset;
    run.added_line_end = counter.added_line_end();
    return static_cast<line_number>(counter.finish(offset));
}

}  // namespace line_shuffler
