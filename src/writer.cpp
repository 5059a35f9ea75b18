// Copying the input's lines to the output in the shuffled order.
//
// Each output line is found afresh: the writer starts at the nearest mark at
// or before the wanted line, passes over the lines in between and copies the
// wanted one, piece by piece. Only the piece in hand is ever held, however
// long the line is.
#include <algorithm>
#include <cstring>

#include "run_state.h"

namespace line_shuffler {

namespace {

// Gathers small writes into large ones.
class output_buffer {
public:
    explicit output_buffer(platform::output_handle& file) : file_(file) {}

    void write(std::span<const char> bytes) {
        if (bytes.size() > buffer_.size() - used_) {
            flush();
            if (bytes.size() >= buffer_.size()) {
                write_through(bytes);
                return;
            }
        }
        std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }

    void flush() {
        write_through(std::span<const char>{buffer_.data(), used_});
        used_ = 0;
    }

private:
    void write_through(std::span<const char> bytes) {
        if (!bytes.empty() && !file_.write_all(bytes)) {
            throw run_failure{failure::write_failed};
        }
    }

    platform::output_handle& file_;
    std::size_t used_ = 0;
    std::array<char, BLOCK_BUFFER_SIZE> buffer_;
};

// Reads the piece of the input that starts at `offset`: `wanted` bytes, or
// what is left of the input as counted. The piece lands in line_buffer when
// it fits there, in block_buffer otherwise.
std::span<const char> read_piece(run_state& run, std::uint64_t offset, std::uint64_t wanted) {
    const std::uint64_t left = run.input_size - offset;
    const std::size_t size = static_cast<std::size_t>(std::min({wanted, left, std::uint64_t{BLOCK_BUFFER_SIZE}}));
    const std::span<char> buffer = size <= LINE_BUFFER_SIZE ? std::span<char>{run.line_buffer}.first(size)
                                                            : std::span<char>{run.block_buffer}.first(size);
    const platform::io_result got = run.input_file.read_at(buffer, offset);
    if (got < 0) {
        throw run_failure{failure::read_failed};
    }
    if (static_cast<std::size_t>(got) != size) {
        // The input is shorter than when it was counted.
        throw run_failure{failure::input_changed};
    }
    return buffer;
}

// How many bytes to ask for to reach the end of `lines` more lines: a
// quarter more than the input's average line, never less than a
// banner-length line, rounded to whole 512-byte sectors.
std::uint64_t read_size_for(std::uint64_t average, std::uint64_t lines) {
    const std::uint64_t estimate = lines * average + lines * average / 4;
    constexpr std::uint64_t sector = 512;
    return std::max<std::uint64_t>(LINE_BUFFER_SIZE, (estimate + sector - 1) / sector * sector);
}

const char* find_newline(std::span<const char> piece) {
    return static_cast<const char*>(std::memchr(piece.data(), '\n', piece.size()));
}

// Copies input line `line` (1-based) to the output.
void copy_line(run_state& run, std::uint32_t line, std::uint64_t average, output_buffer& out) {
    const bool last = line == static_cast<std::uint32_t>(run.line_count);
    const line_mark mark = run.marks.mark_at_or_before(line);
    run.current_line_number = static_cast<std::uint32_t>(mark.line_number);
    std::uint64_t offset = mark.offset;

    // Later pieces grow, so that a line far longer than the average takes
    // few reads.
    std::uint64_t request = read_size_for(average, line - run.current_line_number + 1);
    std::span<const char> piece = read_piece(run, offset, request);
    offset += piece.size();
    const auto next_piece = [&](std::uint64_t lines_left) {
        request = std::min<std::uint64_t>(BLOCK_BUFFER_SIZE, std::max(request * 2, read_size_for(average, lines_left)));
        piece = read_piece(run, offset, request);
        offset += piece.size();
    };

    // Pass over the lines between the mark and the wanted line.
    while (run.current_line_number < line) {
        if (const char* newline = find_newline(piece)) {
            piece = piece.subspan(static_cast<std::size_t>(newline + 1 - piece.data()));
            ++run.current_line_number;
            continue;
        }
        if (offset == run.input_size) {
            throw run_failure{failure::input_changed};  // counted lines are gone
        }
        next_piece(line - run.current_line_number + 1);
    }

    // The wanted line starts at the front of the piece.
    for (;;) {
        if (const char* newline = find_newline(piece)) {
            if (last) {
                throw run_failure{failure::input_changed};  // the last line had no newline when counted
            }
            out.write(piece.first(static_cast<std::size_t>(newline + 1 - piece.data())));
            return;
        }
        out.write(piece);
        if (offset == run.input_size) {
            if (!last) {
                throw run_failure{failure::input_changed};
            }
            out.write(run.last_line_end);
            return;
        }
        next_piece(1);
    }
}

}  // namespace

void write_shuffled_lines(run_state& run) {
    output_buffer out{run.output_file};
    const auto count = static_cast<std::uint32_t>(run.line_count);
    const std::uint64_t average = run.input_size / static_cast<std::uint64_t>(count) + 1;
    run.progress.start(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i + 1 < count) {
            run.marks.prefetch(run.shuffle_order[i + 1]);
        }
        copy_line(run, run.shuffle_order[i], average, out);
        run.progress.update(i + 1);
    }
    out.flush();
    run.progress.erase();
    check_input_unchanged(run);
}

}  // namespace line_shuffler
