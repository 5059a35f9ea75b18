// The tool's counting step alone: opens file.txt in the current folder and
// counts its lines exactly as a shuffle run does (open_input_file and
// count_lines from the tool's own library), then prints the count. The
// benchmark times it against `wc -l` on the same file.
//
// usage: count_only   (in the folder that holds file.txt)
#include <cstdio>

#include "count.h"
#include "files.h"
#include "run_state.h"

int main() {
    // Small: the buffers and lengths it comes to own are on the heap.
    line_shuffler::run_state run;
    try {
        line_shuffler::open_input_file(run);
        const auto count = line_shuffler::count_lines(run);
        std::printf("%llu\n", static_cast<unsigned long long>(count));
    } catch (const line_shuffler::run_failure& failed) {
        std::fprintf(stderr, "count_only: failed (reason %d)\n", static_cast<int>(failed.reason));
        return 1;
    }
    return 0;
}
