// The writer's one way of reading the input in order: from a line's start,
// a large read at a time, every line handed on as it comes, and what was
// read checked against the count's digest. What it checks, beside the
// writer's other checks of the input, is listed in input_changed.h.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "input_changed.h"
#include "input_digest.h"
#include "newline_scan.h"
#include "run_state.h"

namespace line_shuffler {

// Fills `into` from the input at `offset`. Fewer bytes than asked means the
// input is shorter than when it was counted.
inline void read_input_exactly(const run_state& run, std::span<char> into, std::uint64_t offset) {
    const platform::io_result got = run.input_file.read_at(into, offset);
    if (got < 0) {
        throw run_failure{failure::read_failed};
    }
    if (static_cast<std::size_t>(got) != into.size()) {
        input_changed();
    }
}

class line_walker {
public:
    line_walker(const run_state& run, std::span<char> buffer) : run_(run), buffer_(buffer) {}

    // Hands lines `first` to `last` (counting from 0) to take(line, piece),
    // in order and each in one or more pieces; line `first` starts at
    // `offset`. A line's last piece ends with its newline; the input's last
    // line has none, and the added line end follows it as a piece of its
    // own.
    //
    // The bytes read are checked against the count's digest, from the first
    // segment boundary at or after `offset` to the first at or after the
    // end of line `last`, reading on to it if need be: walks that start
    // where another stopped share no segment and miss none.
    template <typename taker>
    void walk(taker&& take, std::size_t last, std::size_t first = 0, std::uint64_t offset = 0) {
        const std::size_t final_line = run_.line_count - 1;
        std::size_t current_line_number = first;
        range_digest digest{run_.digest.boundary_after(offset, run_.input_size), run_.input_size};
        const std::uint64_t digest_from = digest.next();
        // Reads start on a stretch boundary of the file, so that the digest
        // takes the bytes as the newline scan loads them; the bytes before
        // line `first` are passed over. (Reads shorter than a stretch, in
        // tests, start where the line does.)
        std::size_t start = buffer_.size() >= SCAN_STRIDE ? static_cast<std::size_t>(offset % SCAN_STRIDE) : 0;
        std::uint64_t before_first = ~std::uint64_t{0} << start;
        offset -= start;
        std::uint64_t masks[DIGEST_CHUNK_BYTES / SCAN_STRIDE];
        while (offset < run_.input_size) {
            const auto size =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), run_.input_size - offset));
            read_input_exactly(run_, buffer_.first(size), offset);
            const char* const bytes = buffer_.data();
            for (std::size_t chunk = 0; chunk < size;) {
                // Up to the next chunk boundary of the file, never past the
                // segment boundary after the chunk's lines: where the walk
                // stops, the digest may end there.
                const auto chunk_end = static_cast<std::size_t>(std::min<std::uint64_t>(
                    (offset + chunk) / DIGEST_CHUNK_BYTES * DIGEST_CHUNK_BYTES + DIGEST_CHUNK_BYTES - offset, size));
                const std::size_t stretches = digest.scan({bytes + chunk, chunk_end - chunk}, offset + chunk, masks);
                masks[0] &= before_first;
                before_first = ~std::uint64_t{0};
                for (std::size_t stretch = 0; stretch < stretches; ++stretch) {
                    const bool on =
                        for_each_newline(masks[stretch], chunk + stretch * SCAN_STRIDE, [&](std::size_t end) {
                            if (current_line_number == final_line) {
                                input_changed();  // more newlines than were counted
                            }
                            take(current_line_number, std::span<const char>{bytes + start, end - start});
                            start = end;
                            return current_line_number++ != last;
                        });
                    if (!on) {
                        digest.end_at(run_.digest.boundary_after(offset + start, run_.input_size));
                        digest.feed({bytes + chunk_end, size - chunk_end}, offset + chunk_end);
                        check_digest(digest, digest_from);
                        return;
                    }
                }
                chunk = chunk_end;
            }
            if (start < size) {
                take(current_line_number, std::span<const char>{bytes + start, size - start});
            }
            start = 0;
            offset += size;
        }
        if (current_line_number != final_line) {
            input_changed();  // counted lines are gone
        }
        check_digest(digest, digest_from);
        take(current_line_number, std::span<const char>{run_.added_line_end});
    }

private:
    // Reads what the digest still lacks and compares it with the count's.
    void check_digest(range_digest& digest, std::uint64_t from) {
        while (!digest.complete()) {
            const std::uint64_t offset = digest.next();
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), digest.end() - offset));
            read_input_exactly(run_, buffer_.first(size), offset);
            digest.feed(buffer_.first(size), offset);
        }
        if (digest.sum() != run_.digest.between(from, digest.end())) {
            input_changed();
        }
    }

    const run_state& run_;
    std::span<char> buffer_;
};

}  // namespace line_shuffler
