// Ownership of the two file handles: the same on every platform, since a
// closed handle is -1 everywhere and closing is each platform's own.
#include <utility>

#include "platform.h"

namespace line_shuffler::platform {

input_handle::input_handle(input_handle&& other) noexcept : native_(std::exchange(other.native_, -1)) {}

input_handle& input_handle::operator=(input_handle&& other) noexcept {
    if (this != &other) {
        (void)close();
        native_ = std::exchange(other.native_, -1);
    }
    return *this;
}

input_handle::~input_handle() {
    (void)close();
}

output_handle::output_handle(output_handle&& other) noexcept : native_(std::exchange(other.native_, -1)) {}

output_handle& output_handle::operator=(output_handle&& other) noexcept {
    if (this != &other) {
        (void)close();
        native_ = std::exchange(other.native_, -1);
    }
    return *this;
}

output_handle::~output_handle() {
    (void)close();
}

}  // namespace line_shuffler::platform
