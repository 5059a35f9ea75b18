// Tells how much of a file is in the page cache, or drops it from there, so
// that the runs on files larger than memory start with nothing of their
// input or output cached, and the benchmark can tell how much of a file a
// run left cached.
//
// usage: page_cache resident FILE   prints "RESIDENT_PAGES TOTAL_PAGES"
//        page_cache drop FILE       writes back and drops the file's cached
//                                   pages, then prints what is left as above
//
// The file is mapped here only to ask mincore which pages are cached; its
// pages are never touched through the mapping.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

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

class mapping {
public:
    mapping(int fd, std::size_t size) : size_(size), address_(::mmap(nullptr, size, PROT_NONE, MAP_SHARED, fd, 0)) {}
    mapping(const mapping&) = delete;
    mapping& operator=(const mapping&) = delete;
    ~mapping() {
        if (address_ != MAP_FAILED) {
            ::munmap(address_, size_);
        }
    }
    bool ok() const noexcept { return address_ != MAP_FAILED; }
    void* get() const noexcept { return address_; }

private:
    std::size_t size_;
    void* address_;
};

bool count_resident(int fd, std::size_t size, std::size_t& resident, std::size_t& pages) {
    const auto page_size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    pages = (size + page_size - 1) / page_size;
    resident = 0;
    if (size == 0) {
        return true;
    }
    const mapping map{fd, size};
    if (!map.ok()) {
        return false;
    }
    std::vector<unsigned char> in_core(pages);
    if (::mincore(map.get(), size, in_core.data()) != 0) {
        return false;
    }
    for (const unsigned char page : in_core) {
        resident += page & 1U;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view action = argc == 3 ? argv[1] : "";
    if (action != "resident" && action != "drop") {
        std::fprintf(stderr, "usage: page_cache resident|drop FILE\n");
        return 2;
    }
    const file_descriptor file{::open(argv[2], O_RDONLY | O_CLOEXEC)};
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
        std::fprintf(stderr, "page_cache: cannot open %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    // Only clean pages can be dropped, so anything still being written
    // goes to the disk first.
    if (action == "drop" && (::fsync(file.get()) != 0 || ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED) != 0)) {
        std::fprintf(stderr, "page_cache: cannot drop %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    std::size_t resident = 0;
    std::size_t pages = 0;
    if (!count_resident(file.get(), static_cast<std::size_t>(status.st_size), resident, pages)) {
        std::fprintf(stderr, "page_cache: cannot inspect %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    std::printf("%zu %zu\n", resident, pages);
    return 0;
}
