#include <memory>

#include "run_state.h"

int main() {
    // Arguments are ignored: the tool always shuffles file.txt.
    const auto run = std::make_unique<line_shuffler::run_state>();
    return line_shuffler::run_shuffle(*run);
}
