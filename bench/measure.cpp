// Runs one command and reports its wall time, CPU time and peak resident
// memory. The benchmark starts every timed command through this small
// launcher rather than straight from its driver: Linux carries a process's
// peak memory across exec, so a command forked from a large parent would
// report the parent's size instead of its own.
//
// usage: measure REPORT STDOUT COMMAND [ARG...]
//   REPORT  file that receives "wall_seconds user_seconds system_seconds
//           peak_rss_bytes exit_status"
//   STDOUT  where the command's standard output goes ("-" for /dev/null),
//           opened inside the timed span as a shell's `>` opens it: created,
//           or emptied where it exists. The benchmark removes an earlier
//           output first, so that the command writes a new file (emptying a
//           full one costs ext4 the freeing of its blocks, and a file cut to
//           nothing and written again is flushed to the disk at close)
// The command's standard input is /dev/null.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

double now_seconds() {
    struct timespec t {};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_of(const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: measure REPORT STDOUT COMMAND [ARG...]\n");
        return 2;
    }
    const char* report = argv[1];
    const char* output = argv[2];

    const double started = now_seconds();
    const pid_t child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "measure: fork: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = std::strcmp(output, "-") == 0 ? ::open("/dev/null", O_WRONLY)
                                                      : ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "measure: cannot set up standard streams: %s\n", std::strerror(errno));
            ::_exit(127);
        }
        ::close(in);
        ::close(out);
        ::execvp(argv[3], argv + 3);
        std::fprintf(stderr, "measure: cannot run %s: %s\n", argv[3], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "measure: wait4: %s\n", std::strerror(errno));
            return 1;
        }
    }
    const double wall = now_seconds() - started;
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::FILE* out = std::fopen(report, "w");
    if (out == nullptr) {
        std::fprintf(stderr, "measure: cannot write %s: %s\n", report, std::strerror(errno));
        return 1;
    }
    std::fprintf(out, "%.6f %.6f %.6f %lld %d\n", wall, seconds_of(usage.ru_utime), seconds_of(usage.ru_stime),
                 static_cast<long long>(usage.ru_maxrss) * 1024, exit_status);
    if (std::fclose(out) != 0) {
        return 1;
    }
    return exit_status;
}
