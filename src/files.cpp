// Opening, counting and closing the two files of a run.
#include <algorithm>
#include <bit>
#include <cstring>

#include "input_digest.h"
#include "messages.h"
#include "newline_scan.h"
#include "run_state.h"

namespace line_shuffler {

void open_input_file(run_state& run) {
    const platform::open_error error = run.input_file.open(INPUT_FILE_NAME);
    if (error == platform::open_error::is_console) {
        throw run_failure{failure::console_is_file};
    }
    if (error != platform::open_error::none) {
        throw run_failure{failure::input_not_opened};
    }
    // Taken before the first byte is read: a snapshot taken later would
    // include a write made while counting, and the end of the run would
    // then find the file as it was and pass lines that were never counted.
    run.input_identity = run.input_file.identity();
}

void open_output_file(run_state& run) {
    switch (run.output_file.open(OUTPUT_FILE_NAME, run.input_file)) {
        case platform::open_error::none:
            return;
        case platform::open_error::same_file:
            throw run_failure{failure::output_is_input};
        case platform::open_error::locked:
            throw run_failure{failure::output_locked};
        case platform::open_error::is_console:
            throw run_failure{failure::console_is_file};
        case platform::open_error::system:
            break;
    }
    throw run_failure{failure::output_not_opened};
}

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

void check_input_unchanged(const run_state& run) {
    // The size alone misses a rewrite that moves newlines but keeps the
    // length; the times catch it. What the file says is compared with what
    // it said, never with the bytes counted, since a /proc file reports a
    // size of 0 whatever it holds.
    const platform::file_identity now = run.input_file.identity();
    if (!now.known || !run.input_identity.known || now != run.input_identity) {
        throw run_failure{failure::input_changed};
    }
}

void close_input_file(run_state& run) {
    // Only read from, so a failing close loses nothing.
    (void)run.input_file.close();
}

void close_output_file(run_state& run) {
    // Publishing puts the bytes on the disk first, so a late write error
    // shows up before the output gets its name.
    if (run.output_file.publish() != 0 || run.output_file.close() != 0) {
        throw run_failure{failure::write_failed};
    }
}

}  // namespace line_shuffler
