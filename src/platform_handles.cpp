// Ownership of a file handle: the same on every platform, since a closed
// handle is -1 everywhere and closing is each platform's own.
#include <utility>

#include "platform.h"

namespace line_shuffler::platform {

file_handle::file_handle(file_handle&& other) noexcept : native_(std::exchange(other.native_, -1)) {}

file_handle& file_handle::operator=(file_handle&& other) noexcept {
    if (this != &other) {
        (void)close();
        native_ = std::exchange(other.native_, -1);
    }
    return *this;
}

void file_handle::adopt(file_handle& file, std::intptr_t native) noexcept {
    (void)file.close();
    file.native_ = native;
}

file_handle::~file_handle() {
    (void)close();
}

}  // namespace line_shuffler::platform
