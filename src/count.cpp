// Counting the input's lines, their lengths and its digest in one read.
#include "count.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <utility>

#include "input_digest.h"
#include "newline_scan.h"
#include "two_parts.h"
#include "write_plan.h"

namespace line_shuffler {

namespace {

// Each of the count's reads is one block of the digest, hashed as its
// newlines are found.
static_assert(COUNT_READ_SIZE == DIGEST_BLOCK_BYTES && DIGEST_STRETCH == SCAN_STRIDE);

// Counts the newlines of one stretch of the input, block by block, notes
// the length of every line that ends in it and takes its blocks' digest.
// A line that started before the stretch is noted from the stretch's start:
// the count of the stretch before it adds its own share.
class newline_counter {
public:
    newline_counter(line_lengths& lengths, input_digest& digest, std::uint64_t from, char byte_before)
        : lengths_(lengths), digest_(digest), line_start_(from), byte_before_(byte_before) {}

    // Takes the next block of the stretch, which starts at `offset`.
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

    std::uint64_t newlines() const noexcept { return newlines_; }
    // Where the line that is still open at the stretch's end began.
    std::uint64_t line_start() const noexcept { return line_start_; }
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
        newlines_ += count_bits(mask);
        for_each_newline(mask, offset, [this](std::uint64_t next_start) {
            lengths_.add(next_start - line_start_);
            line_start_ = next_start;
            return true;
        });
    }

    line_lengths& lengths_;
    input_digest& digest_;
    std::uint64_t newlines_ = 0;
    std::uint64_t line_start_ = 0;
    char byte_before_ = '\0';
    std::string_view added_line_end_ = "\n";
};

// Where the count's second part starts: a block boundary near the middle
// of the input, so that each part's reads are whole blocks of the digest;
// 0 for one part. A file that can't say its size is counted in one.
std::uint64_t second_part_start(const run_state& run) {
    const std::uint64_t size = run.input_identity.known ? static_cast<std::uint64_t>(run.input_identity.size) : 0;
    if (plan_parts(parts_available(), run.limits.parts, size).count < 2) {
        return 0;
    }
    return size / 2 / COUNT_READ_SIZE * COUNT_READ_SIZE;
}

// Reads the input from `from` to `to`, or to its end, block by block into
// the counter, and returns where the reads ended. Both parts add their
// newlines to `newlines`, so that a file of too many lines is refused while
// what its lengths hold stays within the promise.
std::uint64_t count_stretch(const run_state& run, newline_counter& counter, std::span<char> block, std::uint64_t from,
                            std::uint64_t to, std::atomic<std::uint64_t>& newlines, const std::atomic<bool>& stop) {
    std::uint64_t offset = from;
    std::uint64_t counted = 0;
    while (offset < to && !stop.load(std::memory_order_relaxed)) {
        const std::span<char> wanted =
            block.first(static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), to - offset)));
        const platform::io_result got = run.input_file.read_at(wanted, offset);
        if (got < 0) {
            throw run_failure{failure::read_failed};
        }
        if (got == 0) {
            break;
        }
        counter.add(wanted.first(static_cast<std::size_t>(got)), offset);
        offset += static_cast<std::uint64_t>(got);
        if ((newlines += counter.newlines() - counted) + 1 > run.max_line_count) {
            throw run_failure{failure::too_many_lines};
        }
        counted = counter.newlines();
        if (static_cast<std::size_t>(got) < wanted.size()) {
            break;  // a short read has met the end already
        }
    }
    return offset;
}

}  // namespace

line_number count_lines(run_state& run) {
    run.lengths.clear();
    run.digest.clear();
    run.read_buffer.allocate(READ_BUFFER_SIZE);
    constexpr std::uint64_t TO_THE_END = ~std::uint64_t{0};
    const std::uint64_t middle = second_part_start(run);
    // The second part's lengths and digest join the first's once both are
    // counted; its first line is the end of the line open at `middle`.
    line_lengths later_lengths;
    input_digest later_digest;
    newline_counter first{run.lengths, run.digest, 0, '\0'};
    std::optional<newline_counter> second;
    std::uint64_t end = 0;
    std::atomic<std::uint64_t> newlines{0};
    run_in_parts(middle == 0 ? 1 : 2, [&](unsigned part, const std::atomic<bool>& stop) {
        if (part == 0) {
            const std::span<char> block = run.read_buffer.span().first(COUNT_READ_SIZE);
            const std::uint64_t reached =
                count_stretch(run, first, block, 0, middle == 0 ? TO_THE_END : middle, newlines, stop);
            if (middle == 0) {
                end = reached;
            } else if (reached != middle && !stop.load()) {
                throw run_failure{failure::input_changed};  // shorter than it said it was
            }
            return;
        }
        page_buffer own_block;
        own_block.allocate(COUNT_READ_SIZE);
        char before = '\0';
        if (run.input_file.read_at({&before, 1}, middle - 1) != 1) {
            throw run_failure{failure::read_failed};
        }
        second.emplace(later_lengths, later_digest, middle, before);
        end = count_stretch(run, *second, own_block.span(), middle, TO_THE_END, newlines, stop);
    });
    std::uint64_t line_start = first.line_start();
    run.added_line_end = first.added_line_end();
    if (second && second->newlines() != 0) {
        run.lengths.append(std::move(later_lengths), middle - first.line_start());
        line_start = second->line_start();
        if (first.newlines() == 0) {
            run.added_line_end = second->added_line_end();
        }
    }
    run.digest.absorb(later_digest);
    // The last line runs from the last newline to the end of the input.
    run.input_size = end;
    run.lengths.add(end - line_start);
    run.lengths.shrink_to_fit();
    return static_cast<line_number>(newlines.load() + 1);
}

}  // namespace line_shuffler
