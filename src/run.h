// The whole run, from banner to key wait, and the console it talks through.
#pragma once

#include "run_state.h"

namespace line_shuffler {

// The dialogue, the steps, the key wait. Returns the exit status.
int run_shuffle(run_state& run);

// The steps of a run before the order is drawn (open both files, count),
// and after it (write, close both files), as run_shuffle takes them, for
// tests that need to act between them. Any failure ends them by throwing.
void open_and_count(run_state& run);
void write_and_close(run_state& run);

// The dialogue of a run that can't begin for want of memory, with too
// little heap left even to throw std::bad_alloc: banner, the out-of-memory
// message, key wait. Returns the exit status, 1.
int report_out_of_memory() noexcept;

// The console message of each failure.
const char* message_for(failure reason) noexcept;

// printf-style output to standard output; every console text goes through it.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
int print_message(const char* format, ...);

}  // namespace line_shuffler
