// Measures what touching memory costs right after a system call on this
// machine: the floor's one 1000-byte positioned read per line, followed by
// a read of one byte from each of PAGES different 4 KiB pages. Comparing
// PAGES = 0 with a few pages shows the price the tool pays for the pages its
// own work touches between reads (order, marks, buffers, stack, code).
//
// usage: touch_probe FILE LINES PAGES
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: touch_probe FILE LINES PAGES\n");
        return 2;
    }
    const std::uint64_t lines = std::strtoull(argv[2], nullptr, 10);
    const std::size_t pages = std::strtoul(argv[3], nullptr, 10);
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "touch_probe: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    constexpr std::size_t page_size = 4096;
    constexpr std::size_t pool_pages = 1024;  // 4 MiB, like the order array of a million lines
    std::vector<unsigned char> pool(pool_pages * page_size, 1);
    char buffer[1000];
    std::uint64_t state = 1;
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < lines; ++i) {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        const auto offset = static_cast<off_t>(z % static_cast<std::uint64_t>(size - 1000));
        if (::pread(fd, buffer, sizeof buffer, offset) < 0) {
            std::fprintf(stderr, "touch_probe: read failed: %s\n", std::strerror(errno));
            return 1;
        }
        // The same few pages every time: they stay cached, so what is paid
        // is the lost address translation, not a memory fetch.
        for (std::size_t p = 0; p < pages; ++p) {
            sum += pool[(p * 97 % pool_pages) * page_size];
        }
    }
    ::close(fd);
    std::printf("%llu\n", static_cast<unsigned long long>(sum));
    return 0;
}
