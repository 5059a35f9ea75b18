// A step in two parts where no second thread can be had: the parts run one
// after the other on the calling thread, as if the step had one part.
//
// The thread is refused for real, in a child process: its stack is made
// larger than the address space left under an RLIMIT_AS limit, so that
// creating it fails with EAGAIN, as it does when memory runs short. (A
// larger stack than any the C library keeps from earlier threads, which it
// would reuse without asking the kernel.)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "two_parts.h"

namespace line_shuffler {
namespace {

constexpr std::size_t REFUSED_STACK_BYTES = std::size_t{1} << 30;
constexpr rlim_t ADDRESS_SPACE_LEFT = rlim_t{64} << 20;

// In the child: what run_in_parts did with two parts and no thread.
std::string parts_without_a_thread() {
    // The address space in use now (statm's first number, in pages), and
    // a little more.
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r"); statm != nullptr) {
        if (std::fscanf(statm, "%ld", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + ADDRESS_SPACE_LEFT;
    const rlimit address_space{limit, limit};
    pthread_attr_t attributes;
    if (pages == 0 || ::pthread_attr_init(&attributes) != 0) {
        return "could not set the limit up";
    }
    const bool limited = ::pthread_attr_setstacksize(&attributes, REFUSED_STACK_BYTES) == 0 &&
                         ::pthread_setattr_default_np(&attributes) == 0 && ::setrlimit(RLIMIT_AS, &address_space) == 0;
    ::pthread_attr_destroy(&attributes);
    if (!limited) {
        return "could not set the limit up";
    }
    try {
        std::thread{[] {}}.join();
        return "a thread was had under the limit";
    } catch (const std::system_error&) {
    }

    const std::thread::id caller = std::this_thread::get_id();
    std::string report;
    try {
        run_in_parts(2, [&](unsigned part, const std::atomic<bool>& stop) {
            report += "part " + std::to_string(part);
            report += std::this_thread::get_id() == caller ? " on the caller" : " on another thread";
            report += stop ? ", stopped; " : "; ";
        });
    } catch (const std::exception& failure) {
        report += std::string{"threw: "} + failure.what();
    }
    return report;
}

TEST(two_parts_test, without_a_second_thread_the_parts_run_one_after_the_other) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_ends[0]);
        const std::string report = parts_without_a_thread();
        const bool sent = ::write(pipe_ends[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipe_ends[1]);
    std::string report;
    char bytes[256];
    for (ssize_t got; (got = ::read(pipe_ends[0], bytes, sizeof bytes)) > 0;) {
        report.append(bytes, static_cast<std::size_t>(got));
    }
    ::close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(report, "part 0 on the caller; part 1 on the caller; ");
}

// A process held to one core (taskset, a container's CPU set) runs its
// steps in one part: two threads there would only take turns.
TEST(two_parts_test, a_process_held_to_one_core_runs_one_part) {
    cpu_set_t had;
    ASSERT_EQ(::sched_getaffinity(0, sizeof had, &had), 0);
    if (CPU_COUNT(&had) < 2) {
        GTEST_SKIP() << "this machine lets the tests use one processor";
    }
    EXPECT_EQ(parts_available(), 2U);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &had)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(parts_available(), 1U);
    ASSERT_EQ(::sched_setaffinity(0, sizeof had, &had), 0);
}

}  // namespace
}  // namespace line_shuffler
