// Preloaded into the shuffle tool by the benchmark (LD_PRELOAD) to split its
// time: how long the positioned reads of the writer take, against
// everything else (counting, drawing the order, scanning, writing). It times
// every pread64 and write of the process without changing what they do.
//
// The tool counts with block reads that follow one another from offset 0 to
// the end of the input; the first pread64 anywhere else is the writer's
// first read. At exit a JSON object with the totals, in
// nanoseconds since the library was loaded, is appended to the file named
// by READ_TIMER_OUT.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using pread_function = ssize_t (*)(int, void*, size_t, off_t);
using write_function = ssize_t (*)(int, const void*, size_t);

std::int64_t now_ns() {
    struct timespec t {};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct totals {
    std::int64_t start = 0;
    bool counting = true;
    std::int64_t next_count_offset = 0;
    std::int64_t count_reads = 0;
    std::int64_t count_ns = 0;
    std::int64_t count_end = 0;
    std::int64_t writer_reads = 0;
    std::int64_t writer_read_ns = 0;
    std::int64_t writer_read_bytes = 0;
    std::int64_t first_writer_read = 0;
    std::int64_t last_writer_read_end = 0;
    std::int64_t writes = 0;
    std::int64_t write_ns = 0;
    std::int64_t write_bytes = 0;
};

totals seen;
pread_function real_pread = nullptr;
write_function real_write = nullptr;

__attribute__((constructor)) void start_timer() {
    seen.start = now_ns();
    real_pread = reinterpret_cast<pread_function>(::dlsym(RTLD_NEXT, "pread64"));
    real_write = reinterpret_cast<write_function>(::dlsym(RTLD_NEXT, "write"));
}

__attribute__((destructor)) void report_timer() {
    const char* name = std::getenv("READ_TIMER_OUT");
    // Only the tool reads; the launcher that starts it is preloaded too and
    // has nothing to report.
    if (name == nullptr || real_write == nullptr || seen.count_reads == 0) {
        return;
    }
    const std::int64_t end = now_ns() - seen.start;
    char text[1024];
    const int length = std::snprintf(
        text, sizeof text,
        "{\"end\": %lld, \"count_reads\": %lld, \"count_ns\": %lld, \"count_end\": %lld, "
        "\"writer_reads\": %lld, \"writer_read_ns\": %lld, \"writer_read_bytes\": %lld, "
        "\"first_writer_read\": %lld, \"last_writer_read_end\": %lld, "
        "\"writes\": %lld, \"write_ns\": %lld, \"write_bytes\": %lld}\n",
        static_cast<long long>(end), static_cast<long long>(seen.count_reads),
        static_cast<long long>(seen.count_ns), static_cast<long long>(seen.count_end),
        static_cast<long long>(seen.writer_reads), static_cast<long long>(seen.writer_read_ns),
        static_cast<long long>(seen.writer_read_bytes), static_cast<long long>(seen.first_writer_read),
        static_cast<long long>(seen.last_writer_read_end), static_cast<long long>(seen.writes),
        static_cast<long long>(seen.write_ns), static_cast<long long>(seen.write_bytes));
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || length <= 0) {
        return;
    }
    (void)real_write(fd, text, static_cast<size_t>(length));
    ::close(fd);
}

}  // namespace

extern "C" ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
    const std::int64_t before = now_ns();
    const ssize_t got = real_pread(fd, buffer, size, offset);
    const std::int64_t after = now_ns();
    if (seen.counting && offset != seen.next_count_offset) {
        seen.counting = false;
    }
    if (seen.counting) {
        ++seen.count_reads;
        seen.count_ns += after - before;
        seen.count_end = after - seen.start;
        seen.next_count_offset = offset + (got > 0 ? got : 0);
    } else {
        if (seen.writer_reads == 0) {
            seen.first_writer_read = before - seen.start;
        }
        ++seen.writer_reads;
        seen.writer_read_ns += after - before;
        seen.writer_read_bytes += got > 0 ? got : 0;
        seen.last_writer_read_end = after - seen.start;
    }
    return got;
}

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    return pread64(fd, buffer, size, offset);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    if (fd <= STDERR_FILENO) {
        return real_write(fd, data, size);
    }
    const std::int64_t before = now_ns();
    const ssize_t got = real_write(fd, data, size);
    seen.write_ns += now_ns() - before;
    ++seen.writes;
    seen.write_bytes += got > 0 ? got : 0;
    return got;
}
