#include "line_lengths.h"

#include <algorithm>
#include <new>

namespace line_shuffler {

void line_lengths::clear() noexcept {
    slots_.reset();
    size_ = 0;
    capacity_ = 0;
    escaped_ = {};
}

void line_lengths::grow() {
    // realloc moves a large block by remapping its pages rather than copying
    // them, so growing never holds two copies resident; pages reserved but
    // not yet written cost nothing.
    constexpr std::size_t first = std::size_t{1} << 16;
    const std::size_t capacity = capacity_ == 0 ? first : capacity_ * 2;
    void* grown = std::realloc(slots_.get(), capacity * sizeof(slot));
    if (grown == nullptr) {
        throw std::bad_alloc{};
    }
    (void)slots_.release();
    slots_.reset(static_cast<slot*>(grown));
    capacity_ = capacity;
}

void line_lengths::shrink_to_fit() noexcept {
    if (size_ == 0 || size_ == capacity_) {
        return;
    }
    if (void* shrunk = std::realloc(slots_.get(), size_ * sizeof(slot))) {
        (void)slots_.release();
        slots_.reset(static_cast<slot*>(shrunk));
        capacity_ = size_;
    }
}

std::uint64_t line_lengths::escaped_length(std::size_t index) const noexcept {
    const auto found =
        std::lower_bound(escaped_.begin(), escaped_.end(), index,
                         [](const escaped_line& line, std::size_t wanted) { return line.index < wanted; });
    return found->length;
}

}  // namespace line_shuffler
