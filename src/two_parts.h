// Runs a step in two parts, on two threads where the platform has them
// and the second thread can be had, and one after the other otherwise. A
// failure in either part stops the other at its next check and is then
// thrown here, as if the step had run on one thread.
#pragma once

#include <atomic>
#include <exception>

#include "platform.h"

// MinGW-w64's libstdc++ has std::thread only in its POSIX-threads variant
// (on winpthreads, linked into the .exe), which the Windows presets use.
#if defined(_GLIBCXX_HAS_GTHREADS) || defined(_LIBCPP_VERSION) || defined(_MSC_VER)
#define LINE_SHUFFLER_HAVE_THREADS 1
#include <system_error>
#include <thread>
#else
#define LINE_SHUFFLER_HAVE_THREADS 0
#endif

namespace line_shuffler {

// How many parts a step may run in on this machine: two where there are
// threads and at least two processors this process may use to run them.
inline unsigned parts_available() noexcept {
#if LINE_SHUFFLER_HAVE_THREADS
    return platform::usable_processors() >= 2 ? 2 : 1;
#else
    return 1;
#endif
}

// Calls work(part, stop) for part 0 and, if `parts` is 2, part 1. A part
// that sees `stop` set returns early: the other part has failed.
template <typename work_function>
void run_in_parts(unsigned parts, work_function&& work) {
    std::atomic<bool> stop{false};
    if (parts < 2) {
        work(0U, stop);
        return;
    }
#if LINE_SHUFFLER_HAVE_THREADS
    std::exception_ptr second_failed;
    std::thread second;
    try {
        second = std::thread{[&] {
            try {
                work(1U, stop);
            } catch (...) {
                second_failed = std::current_exception();
                stop = true;
            }
        }};
    } catch (const std::system_error&) {
        // No thread to be had: the parts run one after the other.
        work(0U, stop);
        work(1U, stop);
        return;
    }
    try {
        work(0U, stop);
    } catch (...) {
        stop = true;
        second.join();
        throw;
    }
    second.join();
    if (second_failed) {
        std::rethrow_exception(second_failed);
    }
#else
    work(0U, stop);
    work(1U, stop);
#endif
}

}  // namespace line_shuffler
