// Opening, counting and closing the two files of a run.
#include <cstring>

#include "messages.h"
#include "run_state.h"

namespace line_shuffler {

void open_input_file(run_state& run) {
    run.input_open_status = run.input_file.open(INPUT_FILE_NAME);
    if (run.input_open_status != 0) {
        throw run_failure{failure::input_not_opened};
    }
}

void open_output_file(run_state& run) {
    const int status = run.output_file.open(OUTPUT_FILE_NAME, run.input_file);
    if (status == platform::error_same_file) {
        throw run_failure{failure::output_is_input};
    }
    if (status == platform::error_in_use) {
        throw run_failure{failure::output_in_use};
    }
    if (status != 0) {
        throw run_failure{failure::output_not_opened};
    }
}

namespace {

// The line end of the input's first line, given the newline at `newline`
// within `block` and the byte that came before the block.
std::string_view line_end_at(const char* block, const char* newline, char byte_before_block) {
    const char before = newline > block ? newline[-1] : byte_before_block;
    return before == '\r' ? std::string_view{"\r\n"} : std::string_view{"\n"};
}

}  // namespace

std::int32_t count_lines(run_state& run) {
    run.marks.clear();
    run.last_line_end = "\n";
    std::uint64_t newlines = 0;
    std::uint64_t offset = 0;
    char last_byte = '\0';
    const std::span<char> block{run.block_buffer};

    for (;;) {
        const platform::io_result got = run.input_file.read_at(block, offset);
        if (got < 0) {
            throw run_failure{failure::read_failed};
        }
        if (got == 0) {
            break;
        }
        const char* const begin = block.data();
        const char* const end = begin + got;
        for (const char* p = begin;
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr;) {
            if (newlines == 0) {
                run.last_line_end = line_end_at(begin, p, last_byte);
            }
            ++p;
            ++newlines;
            if (newlines + 1 > run.max_line_count) {
                throw run_failure{failure::too_many_lines};
            }
            run.marks.note_line_start(newlines + 1, offset + static_cast<std::uint64_t>(p - begin));
        }
        last_byte = end[-1];
        offset += static_cast<std::uint64_t>(got);
    }
    run.input_size = offset;
    run.input_identity = run.input_file.identity();
    return static_cast<std::int32_t>(newlines + 1);
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
    if (run.output_file.close() != 0) {
        throw run_failure{failure::write_failed};
    }
}

}  // namespace line_shuffler
