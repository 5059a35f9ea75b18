// Writes a sparse file of COUNT lines of LENGTH bytes each, newline
// included, and so an empty last line after them: every line but its
// newline is a hole, so a file far larger than the disk's free space costs
// one block a line, and reads back fast. It gives the shapes whose lines'
// lengths take most memory (a million lines of 64 KiB is 68.7 GB) to the
// counting alone (count_only), where a real file of them would not fit.
//
// usage: sparse_lines OUTPUT COUNT LENGTH
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "parse_number.h"

int main(int argc, char** argv) {
    std::uint64_t count = 0;
    std::uint64_t length = 0;
    if (argc != 4 || !bench::parse_u64(argv[2], count) || !bench::parse_u64(argv[3], length) || length == 0) {
        std::fprintf(stderr, "usage: sparse_lines OUTPUT COUNT LENGTH   (LENGTH >= 1, newline included)\n");
        return 2;
    }
    const int file = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) {
        std::fprintf(stderr, "sparse_lines: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const auto size = static_cast<off_t>(count * length);
    if (::ftruncate(file, size) != 0) {
        std::fprintf(stderr, "sparse_lines: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const char newline = '\n';
    for (std::uint64_t line = 1; line <= count; ++line) {
        if (::pwrite(file, &newline, 1, static_cast<off_t>(line * length - 1)) != 1) {
            std::fprintf(stderr, "sparse_lines: %s: %s\n", argv[1], std::strerror(errno));
            return 1;
        }
    }
    if (::close(file) != 0) {
        std::fprintf(stderr, "sparse_lines: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
