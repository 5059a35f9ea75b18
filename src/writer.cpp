// Copying the input's lines to the output in the shuffled order.
//
// The writer plans first (write_plan.h): an output file on disk is the work
// space for its own lines, sorted in two steps whatever their lengths (or,
// for windows too small to number, copied straight to their places);
// anything else gets its lines in windows, a pass over the input each.
#include "writer.h"

#include <utility>

#include "aside.h"
#include "distribute.h"
#include "files.h"
#include "passes.h"
#include "region_order.h"
#include "small_windows.h"
#include "two_parts.h"

namespace line_shuffler {

write_plan plan_for(const run_state& run) {
    plan_figures figures;
    figures.line_count = run.line_count;
    figures.output_bytes = run.input_size + run.added_line_end.size();
    figures.lengths_bytes = run.lengths.memory_bytes();
    figures.longest_line = run.lengths.longest() + run.added_line_end.size();
    figures.output_reads_back = run.output_file.reads_back();
    figures.limits = run.limits;
    figures.parts = plan_parts(parts_available(), run.limits.parts, run.input_size).write;
    figures.order_aside = run.order_aside_at != run_state::ORDER_IN_MEMORY;
    return plan_writer(figures);
}

void write_shuffled_lines(run_state& run) {
    put_order_aside(run);
    run.read_buffer.allocate(READ_BUFFER_SIZE);
    const write_plan plan = plan_for(run);
    const std::uint64_t output_bytes = run.input_size + run.added_line_end.size();
    if (plan.path == write_path::regions) {
        // Every byte is moved twice: once to its region, once within it; or
        // once, straight to its place, which counts for both.
        run.progress.measure_in(2 * output_bytes);
        copy_small_windows(run, plan);
        auto [layout, numbers] = lay_out_regions(run, plan);
        const window_places places = distribute_lines(run, plan, layout, std::move(numbers));
        order_regions(run, plan, layout, places);
    } else {
        run.progress.measure_in(output_bytes);
        write_in_passes(run, plan);
    }
    run.progress.erase();
    release_scratch(run);
    check_input_unchanged(run);
}

}  // namespace line_shuffler
