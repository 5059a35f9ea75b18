// The least any tool can do to shuffle a file's lines while holding no more
// than one line: count the lines with large block reads, then make one
// 1000-byte positioned read per line at a random place. Nothing is drawn,
// scanned or written; the shuffle tool is measured against this.
//
// usage: floor FILE [READ_SIZE]   (READ_SIZE defaults to 1000; another size
//        shows how the cost of a read depends on its length)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{64} * 1024;  // as the tool counts
constexpr std::size_t READ_SIZE = 1000;                     // one line buffer
constexpr std::size_t MAX_READ_SIZE = std::size_t{1} << 20;

class file_descriptor {
public:
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Reads the whole buffer at offset unless the file ends first; -1 on error.
ssize_t read_at(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t read_size = READ_SIZE;
    if (argc == 3) {
        char* end = nullptr;
        const unsigned long parsed = std::strtoul(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0' || parsed == 0 || parsed > MAX_READ_SIZE) {
            argc = 0;
        }
        read_size = parsed;
    }
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: floor FILE [READ_SIZE]\n");
        return 2;
    }
    const file_descriptor file{::open(argv[1], O_RDONLY | O_CLOEXEC)};
    if (file.get() < 0) {
        std::fprintf(stderr, "floor: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }

    std::vector<char> block(BLOCK_SIZE);
    std::uint64_t lines = 1;
    std::uint64_t size = 0;
    for (;;) {
        const ssize_t got = read_at(file.get(), block.data(), block.size(), size);
        if (got < 0) {
            std::fprintf(stderr, "floor: cannot read %s: %s\n", argv[1], std::strerror(errno));
            return 1;
        }
        if (got == 0) {
            break;
        }
        const char* const end = block.data() + got;
        for (const char* p = block.data();
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr;
             ++p) {
            ++lines;
        }
        size += static_cast<std::uint64_t>(got);
    }

    // splitmix64 with a fixed seed: the same places on every run.
    std::uint64_t state = 1;
    const auto next_random = [&state]() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    const std::uint64_t places = size > read_size ? size - read_size + 1 : 1;
    std::vector<char> line(read_size);
    std::uint64_t bytes_read = 0;
    for (std::uint64_t i = 0; i < lines; ++i) {
        const ssize_t got = read_at(file.get(), line.data(), line.size(), next_random() % places);
        if (got < 0) {
            std::fprintf(stderr, "floor: cannot read %s: %s\n", argv[1], std::strerror(errno));
            return 1;
        }
        bytes_read += static_cast<std::uint64_t>(got);
    }
    std::printf("%llu lines, %llu bytes read at random\n", static_cast<unsigned long long>(lines),
                static_cast<unsigned long long>(bytes_read));
    return 0;
}
