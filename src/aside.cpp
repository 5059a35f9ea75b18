#include "aside.h"

namespace line_shuffler {

namespace {

// Each table starts on a page of its own, so that a read of it from the
// page cache copies whole pages into the page-aligned blocks it fills.
constexpr std::uint64_t TABLE_ALIGNMENT = 4096;

std::uint64_t aligned(std::uint64_t offset) {
    return (offset + TABLE_ALIGNMENT - 1) / TABLE_ALIGNMENT * TABLE_ALIGNMENT;
}

std::uint64_t output_bytes(const run_state& run) {
    return run.input_size + run.added_line_end.size();
}

}  // namespace

void put_lengths_aside(run_state& run) {
    if (run.lengths_aside || !run.output_file.is_open()) {
        return;
    }
    // The regions fill the work file up to the output's size and never
    // past it; the lengths and the order lie beyond.
    if (run.output_file.reads_back() && !run.limits.passes_only) {
        run.scratch.use_work_file(run.output_file, aligned(output_bytes(run)));
    } else if (!run.scratch.use_own_file()) {
        return;
    }
    std::uint64_t at = 0;
    run.lengths.put_aside([&](std::span<const char> bytes) {
        run.scratch.write(bytes, at);
        at += bytes.size();
    });
    run.lengths_aside = true;
    run.lengths_aside_bytes = at;
}

void put_order_aside(run_state& run) {
    if (!run.scratch.usable() || run.order_aside_at != run_state::ORDER_IN_MEMORY) {
        return;
    }
    const std::size_t count = run.line_count;
    const std::uint64_t order_at = aligned(run.lengths_aside_bytes);
    run.scratch.write({reinterpret_cast<const char*>(run.shuffle_order.data()), count * sizeof(line_number)}, order_at);
    run.order_aside_at = order_at;
    // Only put_lengths_aside opens the scratch space: the lengths are there.
    run.lengths.take_back([&](std::span<char> bytes, std::uint64_t at) { run.scratch.read(bytes, at); },
                          run.shuffle_order);
    run.lengths_aside = false;
}

std::span<const line_number> order_entries(const run_state& run, std::size_t first, std::size_t end,
                                           std::span<line_number> room) {
    if (run.order_aside_at == run_state::ORDER_IN_MEMORY) {
        return {run.shuffle_order.data() + first, end - first};
    }
    const std::span<line_number> entries = room.first(end - first);
    run.scratch.read({reinterpret_cast<char*>(entries.data()), entries.size_bytes()},
                     run.order_aside_at + std::uint64_t{first} * sizeof(line_number));
    return entries;
}

void release_scratch(run_state& run) {
    if (run.scratch.usable()) {
        run.scratch.release(output_bytes(run));
    }
}

}  // namespace line_shuffler
