#include <cstdlib>

#include "run.h"

int main() {
    // Arguments are ignored: the tool always shuffles file.txt. The run's
    // state is a few hundred bytes that own nothing yet; the steps take the
    // memory they need and report it running out by throwing std::bad_alloc.
    line_shuffler::run_state run;
    // That exception is itself made on the heap, or in the C++ library's
    // small emergency pool, which stays empty when memory was already short
    // as the process started; with neither, the process would abort. So
    // where not even a page's worth of heap can be had, the run is not begun.
    void* const room = std::malloc(4096);
    if (room == nullptr) {
        return line_shuffler::report_out_of_memory();
    }
    std::free(room);
    return line_shuffler::run_shuffle(run);
}
