// The run from banner to key wait, and the console it talks through.
#include "run.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "count.h"
#include "files.h"
#include "messages.h"
#include "shuffle.h"
#include "writer.h"

namespace line_shuffler {

int print_message(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vprintf(format, arguments);
    va_end(arguments);
    // Each message goes out whole at once, so that a run ended by a signal
    // has shown all it had to say, even with the console redirected. A
    // failed flush leaves stdout's error flag set, which the run's status
    // reports.
    (void)std::fflush(stdout);
    return written;
}

const char* message_for(failure reason) noexcept {
    return messages::for_failure(reason);
}

void open_and_count(run_state& run) {
    open_input_file(run);
    open_output_file(run);
    run.line_count = count_lines(run);
}

void write_and_close(run_state& run) {
    write_shuffled_lines(run);
    close_input_file(run);
    close_output_file(run);
}

namespace {

void print_banner() {
    for (const char* line : messages::banner) {
        print_message("%s", line);
    }
}

// The steps of a run, each once, in order. Any failure ends it by throwing.
void run_steps(run_state& run) {
    open_and_count(run);
    // Drawing the order is part of the wait the progress line accounts for.
    run.progress.start_clock();
    // At most MAX_LINE_COUNT, so the count shows the same as an int.
    print_message(messages::line_count, static_cast<int>(run.line_count));
    make_shuffle_order(run);
    write_and_close(run);
    print_message("%s", messages::done);
}

// The console stays until the user has read it.
void wait_before_exit() {
    print_message("%s", messages::press_any_key);
    // A failed flush leaves stdout's error flag set, which run_shuffle
    // turns into the exit status.
    (void)std::fflush(stdout);
    platform::wait_for_key();
}

}  // namespace

int report_out_of_memory() noexcept {
    platform::prepare_console();
    print_banner();
    print_message("%s", messages::out_of_memory);
    wait_before_exit();
    return 1;
}

int run_shuffle(run_state& run) {
    platform::prepare_console();
    print_banner();
    // Redirected output stays exactly the dialogue; only a person at a
    // terminal sees the progress of a long shuffle.
    if (platform::stdout_is_terminal()) {
        run.progress = progress_line{stdout, platform::monotonic_milliseconds};
    }
    int status = 0;
    try {
        run_steps(run);
    } catch (const run_failure& failed) {
        run.progress.erase();
        print_message("%s", message_for(failed.reason));
        status = 1;
    } catch (const std::bad_alloc&) {
        // Whichever allocation it was: the lengths, the buffers, the windows,
        // the order.
        run.progress.erase();
        print_message("%s", messages::out_of_memory);
        status = 1;
    }
    // Streams still open after a failure are closed quietly: the failure
    // has been reported already.
    (void)run.input_file.close();
    (void)run.output_file.close();
    wait_before_exit();
    // The dialogue is the tool's report; if it could not be shown, say so
    // through the exit status.
    if (std::ferror(stdout) != 0 || std::fflush(stdout) != 0) {
        status = 1;
    }
    return status;
}

}  // namespace line_shuffler
