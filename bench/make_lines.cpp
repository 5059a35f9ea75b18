// Writes a deterministic text file for the benchmark: `count` lines whose
// lengths (newline not included) are drawn evenly from [min, max], made of
// letters and digits, separated by newlines, with no newline after the last
// line, so that every tool under test sees exactly `count` lines.
//
// usage: make_lines OUTPUT COUNT MIN_LENGTH MAX_LENGTH SEED
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "parse_number.h"
#include "splitmix64.h"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t count = 0;
    std::uint64_t min_length = 0;
    std::uint64_t max_length = 0;
    std::uint64_t seed = 0;
    if (argc != 6 || !bench::parse_u64(argv[2], count) || !bench::parse_u64(argv[3], min_length) ||
        !bench::parse_u64(argv[4], max_length) || !bench::parse_u64(argv[5], seed) || min_length > max_length ||
        count == 0) {
        std::fprintf(stderr, "usage: make_lines OUTPUT COUNT MIN_LENGTH MAX_LENGTH SEED\n");
        return 2;
    }
    std::unique_ptr<std::FILE, file_closer> out{std::fopen(argv[1], "wb")};
    if (!out) {
        std::fprintf(stderr, "make_lines: cannot create %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }

    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    constexpr std::uint64_t alphabet_size = sizeof alphabet - 1;
    bench::splitmix64 random{seed};
    std::vector<char> chunk;
    constexpr std::size_t flush_at = std::size_t{1} << 20;
    chunk.reserve(flush_at + max_length + 1);

    const auto flush = [&]() {
        if (!chunk.empty() && std::fwrite(chunk.data(), 1, chunk.size(), out.get()) != chunk.size()) {
            return false;
        }
        chunk.clear();
        return true;
    };

    for (std::uint64_t line = 0; line < count; ++line) {
        const std::uint64_t length = min_length + random.next() % (max_length - min_length + 1);
        for (std::uint64_t i = 0; i < length; ++i) {
            chunk.push_back(alphabet[random.next() % alphabet_size]);
        }
        if (line + 1 < count) {
            chunk.push_back('\n');
        }
        if (chunk.size() >= flush_at && !flush()) {
            std::fprintf(stderr, "make_lines: cannot write %s: %s\n", argv[1], std::strerror(errno));
            return 1;
        }
    }
    if (!flush() || std::fclose(out.release()) != 0) {
        std::fprintf(stderr, "make_lines: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
