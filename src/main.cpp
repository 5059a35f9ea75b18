#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "run_state.h"

namespace {

struct state_deleter {
    void operator()(line_shuffler::run_state* run) const noexcept {
        run->~run_state();
        std::free(run);
    }
};

}  // namespace

int main() {
    // Arguments are ignored: the tool always shuffles file.txt. The run's
    // state comes from malloc, which just says no when memory runs out:
    // operator new, even its nothrow form, throws inside the C++ library,
    // and where the state doesn't fit the exception may not fit either,
    // which aborts the process.
    static_assert(alignof(line_shuffler::run_state) <= alignof(std::max_align_t));
    void* const memory = std::malloc(sizeof(line_shuffler::run_state));
    if (memory == nullptr) {
        return line_shuffler::report_out_of_memory();
    }
    const std::unique_ptr<line_shuffler::run_state, state_deleter> run{new (memory) line_shuffler::run_state};
    return line_shuffler::run_shuffle(*run);
}
