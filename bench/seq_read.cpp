// Reads a file once from start to end in 1 MiB reads and discards it: the
// least any shuffle of the file must do, and, in a memory cgroup smaller
// than the file with its pages dropped first, the cost of one pass over a
// file larger than memory.
//
// usage: seq_read FILE   prints the bytes read
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seq_read FILE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "seq_read: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::vector<char> block(std::size_t{1} << 20);
    unsigned long long total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            std::fprintf(stderr, "seq_read: cannot read %s: %s\n", argv[1], std::strerror(errno));
            ::close(fd);
            return 1;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<unsigned long long>(got);
    }
    ::close(fd);
    std::printf("%llu\n", total);
    return 0;
}
