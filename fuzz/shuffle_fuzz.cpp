// libFuzzer target: arbitrary bytes as file.txt, run through the tool's own
// steps (open, count, order, write, close) in a scratch folder, and the
// shuffled file checked byte for byte against the model of the line rules.
//
// Input layout:
//   bytes 0-3  the clock's value, so every order the generator draws is
//              reachable and each case replays exactly; its bits also size
//              the writer's windows, reads and write buffers and choose
//              regions (in one part or two, some with the lines of small
//              windows copied straight) or passes (a quarter of the cases
//              as a real run does, the rest from a byte to a few KiB, so
//              that window edges, reads ending mid-line and lines longer
//              than a window come often);
//   byte 4     'R' asks for repetition: byte 5 gives e, byte 6 a length L,
//              and file.txt is the L bytes after them repeated 2^(e % 18)
//              times (up to MAX_INPUT_SIZE), then the remaining bytes once.
//              Small cases thus reach inputs of over 65,536 lines, more
//              than a window holds, and first lines that end exactly on
//              a 64 KiB block boundary, while such slow cases stay a rare
//              choice;
//   otherwise  the bytes from 4 on are file.txt as they are.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "line_model.h"
#include "run.h"
#include "shared_support.h"
#include "shuffle.h"

namespace {

using namespace line_shuffler;

constexpr std::size_t MAX_INPUT_SIZE = std::size_t{160} * 1024;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "shuffle_fuzz: %s\n", what);
    std::abort();
}

std::string make_input(const std::uint8_t* data, std::size_t size) {
    if (size <= 4) {
        return {};
    }
    const char* const bytes = reinterpret_cast<const char*>(data);
    if (bytes[4] != 'R' || size < 7) {
        return {bytes + 4, size - 4};
    }
    const std::size_t rest = size - 7;
    const std::size_t head_size = data[6] % (rest + 1);
    const std::string head(bytes + 7, head_size);
    const std::size_t repeats = std::size_t{1} << (data[5] % 18);
    std::string input;
    for (std::size_t i = 0; i < repeats && input.size() + head.size() <= MAX_INPUT_SIZE; ++i) {
        input += head;
    }
    input.append(bytes + 7 + head_size, rest - head_size);
    return input;
}

void check_is_permutation(const std::vector<std::uint32_t>& order) {
    std::vector<bool> seen(order.size() + 1, false);
    for (const std::uint32_t line : order) {
        if (line == 0 || line > order.size() || seen[line]) {
            fail("the order is not a permutation of the lines");
        }
        seen[line] = true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A folder for each case; failing to make or use one throws, which
    // libFuzzer reports as a crash.
    const testing::scratch_folder inside{"line_shuffler_fuzz_"};

    std::uint32_t seed = 0;
    std::memcpy(&seed, data, std::min<std::size_t>(size, sizeof seed));
    testing::fixed_seconds = seed;
    const std::string input = make_input(data, size);
    testing::write_file(INPUT_FILE_NAME, input);

    const auto run = std::make_unique<run_state>();
    run->clock = testing::fixed_clock;
    if ((seed & 3) != 0) {
        run->limits = {1 + (seed >> 2) % 8192, 1 + (seed >> 15) % 1024, 1 + (seed >> 25) % 32, (seed >> 31) != 0,
                       1 + ((seed >> 30) & 1)};
        // One case in four copies the lines of windows of fewer than 2 to
        // 9 lines straight; the bits are the window's and read's too.
        if ((seed >> 7) % 4 == 0) {
            run->limits.least_window_lines = 2 + (seed >> 20) % 8;
        }
        // Passes read the input once a window, and tiny windows and reads
        // make that a read call per byte per line: past a few thousand
        // lines one input would take the fuzzer's whole time.
        if (std::count(input.begin(), input.end(), '\n') > 2000) {
            run->limits.passes_only = false;
        }
    }
    std::vector<std::uint32_t> order;
    try {
        open_and_count(*run);
        const std::vector<std::string> lines = testing::model_lines(input);
        if (run->line_count != lines.size()) {
            fail("the count differs from the model's");
        }
        if (run->input_size != input.size()) {
            fail("the counted size differs from the input's");
        }
        make_shuffle_order(*run);
        // Taken before the write, which puts the order aside.
        order.assign(run->shuffle_order.data(), run->shuffle_order.data() + run->line_count);
        write_and_close(*run);
    } catch (const run_failure& failed) {
        std::fprintf(stderr, "shuffle_fuzz: unexpected failure: %s", message_for(failed.reason));
        std::abort();
    }

    check_is_permutation(order);
    if (testing::read_file(OUTPUT_FILE_NAME) != testing::model_output(input, order)) {
        fail("shuffled_file.txt differs from the model's output");
    }
    return 0;
}
