// The writer's plan and region layout alone, for a file of COUNT lines of
// LENGTH bytes (newline included) that no disk here could hold: notes the
// lengths as the count does, draws the order, plans as for an output that
// holds regions, and lays the output out, with the tool's own code. Prints
// the plan, the windows laid out and how long each step took; its peak
// memory (measure's report) is what a run holds up to the first step,
// besides the windows' buffers.
//
// usage: layout_only COUNT LENGTH
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "distribute.h"
#include "shuffle.h"
#include "two_parts.h"
#include "write_plan.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace line_shuffler;
    if (argc != 3) {
        std::fprintf(stderr, "usage: layout_only COUNT LENGTH\n");
        return 2;
    }
    const std::uint64_t count = std::strtoull(argv[1], nullptr, 10);
    const std::uint64_t length = std::strtoull(argv[2], nullptr, 10);
    if (count == 0 || count > MAX_LINE_COUNT || length == 0) {
        std::fprintf(stderr, "layout_only: COUNT must be 1 to %llu and LENGTH at least 1\n",
                     static_cast<unsigned long long>(MAX_LINE_COUNT));
        return 2;
    }
    const auto run = std::make_unique<run_state>();
    auto start = std::chrono::steady_clock::now();
    for (std::uint64_t line = 0; line < count; ++line) {
        run->lengths.add(line + 1 == count ? length - 1 : length);
    }
    run->lengths.shrink_to_fit();
    run->line_count = static_cast<line_number>(count);
    run->input_size = count * length - 1;
    const double noted = seconds_since(start);

    start = std::chrono::steady_clock::now();
    make_shuffle_order(*run);
    const double drawn = seconds_since(start);

    plan_figures figures;
    figures.line_count = count;
    figures.output_bytes = count * length;
    figures.lengths_bytes = run->lengths.memory_bytes();
    figures.longest_line = run->lengths.longest() + 1;
    figures.output_reads_back = true;
    figures.parts = plan_parts(parts_available(), 0, figures.output_bytes).write;
    const write_plan plan = plan_writer(figures);

    start = std::chrono::steady_clock::now();
    const region_layout layout = lay_out_regions(*run, plan).layout;
    const double laid_out = seconds_since(start);

    std::printf(
        "plan: %s, %u part(s), windows of %llu bytes, numbered if %llu lines or more, %s, table %llu, "
        "memory %llu, peak %llu of %llu promised\n",
        plan.path == write_path::regions ? "regions" : "passes", plan.parts,
        static_cast<unsigned long long>(plan.window_bytes), static_cast<unsigned long long>(plan.least_window_lines),
        plan.copies_lines ? "some copied straight" : "none copied straight",
        static_cast<unsigned long long>(plan.table_windows), static_cast<unsigned long long>(plan.memory_bytes),
        static_cast<unsigned long long>(plan.peak_bytes),
        static_cast<unsigned long long>(PROMISED_BASE_BYTES + PROMISED_BYTES_PER_LINE * count));
    std::printf("lengths: %llu bytes; layout: %zu numbered windows, %llu bytes copied straight\n",
                static_cast<unsigned long long>(figures.lengths_bytes), layout.windows.size(),
                static_cast<unsigned long long>(layout.copied_bytes));
    std::printf("seconds: lengths %.3f, order %.3f, layout %.3f\n", noted, drawn, laid_out);
    return 0;
}
