// Prints a digest of a file's lines that does not depend on their order:
// the line count and the sum and XOR of a 64-bit hash of every line. A
// shuffled copy has the same digest as its input, so the benchmark checks
// each tool's output with it without sorting gigabytes. A newline at the
// very end of the file ends the last line and does not start another.
//
// usage: line_digest FILE
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
constexpr std::uint64_t FNV_PRIME = 0x100000001b3ULL;

struct digest {
    std::uint64_t lines = 0;
    std::uint64_t sum = 0;
    std::uint64_t xor_all = 0;

    void add(std::uint64_t hash) {
        // Mixed once more so that lines differing in one byte spread apart.
        hash ^= hash >> 33;
        hash *= 0xff51afd7ed558ccdULL;
        hash ^= hash >> 33;
        ++lines;
        sum += hash;
        xor_all ^= hash;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: line_digest FILE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "line_digest: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::vector<unsigned char> block(std::size_t{1} << 20);
    digest result;
    std::uint64_t hash = FNV_OFFSET;
    bool line_open = false;
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            std::fprintf(stderr, "line_digest: cannot read %s: %s\n", argv[1], std::strerror(errno));
            ::close(fd);
            return 1;
        }
        if (got == 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            const unsigned char byte = block[static_cast<std::size_t>(i)];
            if (byte == '\n') {
                result.add(hash);
                hash = FNV_OFFSET;
                line_open = false;
            } else {
                hash = (hash ^ byte) * FNV_PRIME;
                line_open = true;
            }
        }
    }
    ::close(fd);
    if (line_open) {
        result.add(hash);
    }
    std::printf("%llu %016llx %016llx\n", static_cast<unsigned long long>(result.lines),
                static_cast<unsigned long long>(result.sum), static_cast<unsigned long long>(result.xor_all));
    return 0;
}
