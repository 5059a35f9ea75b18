// Preloaded into a command (LD_PRELOAD) to model a file that is not in the
// page cache, as when it is larger than memory: every read of a regular
// file becomes preadv2 with RWF_DONTCACHE, so pages it brings in are
// dropped again once copied out. With the file's pages dropped before the
// run (page_cache drop), the run starts with nothing of the file cached and
// does not fill the cache as it reads.
//
// RWF_DONTCACHE drops only the pages a read brings in itself; pages that
// readahead brought in stay. So whenever a read goes back more than a few
// MiB from where the previous one on the same descriptor ended, as at the
// start of a new pass over the file, the whole file's pages are dropped
// first: like a file larger than memory, nothing of one pass is left for
// the next.
//
// Reads of anything else (the terminal, /dev/null, pipes) are passed on
// unchanged. If the file system refuses uncached reads the process stops
// with status 97 rather than quietly reading through the cache. With
// NOCACHE_SHIM_REPORT set, the number of reads made uncached and their bytes
// are appended to that file at exit, so the benchmark can tell that the
// command's reads really went through here.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifndef RWF_DONTCACHE
#define RWF_DONTCACHE 0x00000080
#endif

namespace {

constexpr off_t NEW_PASS_DISTANCE = off_t{4} << 20;
constexpr int TRACKED_DESCRIPTORS = 1024;
// Where the previous read on each descriptor ended.
off_t read_ends[TRACKED_DESCRIPTORS] = {};

void drop_on_new_pass(int fd, off_t offset) {
    if (fd < 0 || fd >= TRACKED_DESCRIPTORS || offset < 0) {
        return;
    }
    if (offset + NEW_PASS_DISTANCE < read_ends[fd]) {
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
}

void note_read_end(int fd, off_t offset, ssize_t got) {
    if (fd >= 0 && fd < TRACKED_DESCRIPTORS && offset >= 0 && got > 0) {
        read_ends[fd] = offset + got;
    }
}

std::atomic<long long> uncached_reads{0};
std::atomic<long long> uncached_bytes{0};

bool is_regular_file(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

void stop_unsupported() {
    static const char text[] =
        "nocache_shim: this file system does not support uncached reads (RWF_DONTCACHE); "
        "the no-page-cache model cannot run here\n";
    (void)!::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(97);
}

// offset -1 reads at, and moves, the file position, as read() does.
ssize_t read_vector(int fd, const struct iovec* parts, int count, off_t offset) {
    if (!is_regular_file(fd)) {
        return ::preadv2(fd, parts, count, offset, 0);
    }
    drop_on_new_pass(fd, offset);
    const ssize_t got = ::preadv2(fd, parts, count, offset, RWF_DONTCACHE);
    if (got < 0 && errno == EOPNOTSUPP) {
        stop_unsupported();
    }
    note_read_end(fd, offset, got);
    if (got >= 0) {
        uncached_reads.fetch_add(1, std::memory_order_relaxed);
        uncached_bytes.fetch_add(got, std::memory_order_relaxed);
    }
    return got;
}

ssize_t read_one(int fd, void* buffer, size_t size, off_t offset) {
    const struct iovec part { buffer, size };
    return read_vector(fd, &part, 1, offset);
}

__attribute__((destructor)) void report() {
    const char* name = std::getenv("NOCACHE_SHIM_REPORT");
    if (name == nullptr || uncached_reads.load() == 0) {
        return;
    }
    if (std::FILE* out = std::fopen(name, "a")) {
        std::fprintf(out, "%lld %lld\n", uncached_reads.load(), uncached_bytes.load());
        std::fclose(out);
    }
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t size) {
    return read_one(fd, buffer, size, -1);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return read_one(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
    return pread(fd, buffer, size, offset);
}

ssize_t preadv(int fd, const struct iovec* parts, int count, off_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return read_vector(fd, parts, count, offset);
}

ssize_t preadv64(int fd, const struct iovec* parts, int count, off_t offset) {
    return preadv(fd, parts, count, offset);
}

}  // extern "C"
