// Opening and closing the two files of a run.
#include "files.h"

#include "input_changed.h"

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

void check_input_unchanged(const run_state& run) {
    // The size alone misses a rewrite that moves newlines but keeps the
    // length; the times catch it. What the file says is compared with what
    // it said, never with the bytes counted, since a /proc file reports a
    // size of 0 whatever it holds.
    const platform::file_identity now = run.input_file.identity();
    if (!now.known || !run.input_identity.known || now != run.input_identity) {
        input_changed();
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
