// The Linux side of the Windows end-to-end run: writes its inputs and checks
// each build's shuffled_file.txt against the line rules' model, for the
// order its own C library's rand() draws.
//
//   shuffle_model inputs FOLDER              writes one input file per case
//   shuffle_model rand SEED COUNT            msvcrt's first rand() values
//   shuffle_model check native|msvcrt FROM TO
//       in the current folder: exits 0 if shuffled_file.txt is file.txt in
//       the order drawn in one of the seconds FROM..TO
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "msvcrt_rand.h"
#include "support.h"

namespace {

using line_shuffler::testing::model_lines;
using line_shuffler::testing::model_output;
using line_shuffler::testing::msvcrt_rand;
using line_shuffler::testing::order_drawn_in;
using line_shuffler::testing::read_file;
using line_shuffler::testing::write_file;

// The order the Windows build draws: Fisher-Yates from the end, each draw
// three 15-bit calls, the first one's bits highest, cut to 31 bits.
std::vector<std::uint32_t> msvcrt_order(std::uint32_t count, std::int64_t second) {
    msvcrt_rand msvcrt{static_cast<std::uint32_t>(second)};
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 1U);
    for (std::uint32_t n = count - 1; n > 0; --n) {
        const std::uint32_t high = msvcrt();
        const std::uint32_t middle = msvcrt();
        const std::uint32_t low = msvcrt();
        const std::uint32_t draw = ((high << 30) | (middle << 15) | low) & 0x7fffffffU;
        std::swap(order[n], order[draw % (n + 1)]);
    }
    return order;
}

int check(std::string_view generator, std::int64_t from, std::int64_t to) {
    const std::string input = read_file("file.txt");
    const std::string output = read_file("shuffled_file.txt");
    const auto count = static_cast<std::uint32_t>(model_lines(input).size());
    for (std::int64_t second = from; second <= to; ++second) {
        const auto order = generator == "msvcrt" ? msvcrt_order(count, second) : order_drawn_in(count, second);
        if (output == model_output(input, order)) {
            std::printf("matches the %s order of second %lld\n", std::string(generator).c_str(),
                        static_cast<long long>(second));
            return 0;
        }
    }
    std::printf("shuffled_file.txt is not file.txt in any %s order drawn between %lld and %lld\n",
                std::string(generator).c_str(), static_cast<long long>(from), static_cast<long long>(to));
    return 1;
}

void write_inputs(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    write_file(folder / "three_lines", "a\nb\nc");
    write_file(folder / "empty", "");
    write_file(folder / "newline_at_end", "one\ntwo\nthree\n");
    write_file(folder / "crlf", "first\r\nsecond\r\nthird");

    // NULs and lone carriage returns inside lines, and a last line far
    // longer than the banner's limit.
    std::string awkward;
    for (int i = 0; i < 5000; ++i) {
        awkward += "line " + std::to_string(i) + (i % 3 == 0 ? std::string("\0\r", 2) : "") + "\n";
    }
    awkward += std::string(70'000, 'L');
    write_file(folder / "awkward", awkward);

    // More lines than one 15-bit rand() call can pick from.
    std::string many;
    for (int i = 1; i <= 100'000; ++i) {
        many += std::to_string(i) + "\n";
    }
    many += "last";
    write_file(folder / "many_lines", many);
}

int usage() {
    std::fputs("usage: shuffle_model inputs FOLDER | rand SEED COUNT | check native|msvcrt FROM TO\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "inputs") {
        write_inputs(std::filesystem::path{args[1]});
        return 0;
    }
    if (args.size() == 3 && args[0] == "rand") {
        msvcrt_rand msvcrt{static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10))};
        const long count = std::strtol(argv[3], nullptr, 10);
        for (long i = 0; i < count; ++i) {
            std::printf("%u\n", msvcrt());
        }
        return 0;
    }
    if (args.size() == 4 && args[0] == "check" && (args[1] == "native" || args[1] == "msvcrt")) {
        return check(args[1], std::strtoll(argv[3], nullptr, 10), std::strtoll(argv[4], nullptr, 10));
    }
    return usage();
}
