#include "line_marks.h"

#include <algorithm>

namespace line_shuffler {

namespace {
constexpr int EPOCH_BITS = 32;
}

void line_marks::start() {
    interval_ = 1;
    interval_shift_ = 0;
    low_.clear();
    epoch_starts_.clear();
    append(0);
}

void line_marks::append(std::uint64_t offset) {
    const std::uint64_t epoch = offset >> EPOCH_BITS;
    while (epoch_starts_.size() < epoch) {
        epoch_starts_.push_back(low_.size());
    }
    low_.push_back(static_cast<std::uint32_t>(offset));
}

void line_marks::thin_out() {
    // Mark j now stands for the line mark 2j stood for.
    const std::size_t kept = (low_.size() + 1) / 2;
    for (std::size_t j = 1; j < kept; ++j) {
        low_[j] = low_[2 * j];
    }
    low_.resize(kept);
    for (std::size_t& start : epoch_starts_) {
        start = (start + 1) / 2;
    }
    interval_ *= 2;
    ++interval_shift_;
}

std::uint64_t line_marks::offset_of(std::size_t index) const {
    const auto epoch = static_cast<std::uint64_t>(std::upper_bound(epoch_starts_.begin(), epoch_starts_.end(), index) -
                                                  epoch_starts_.begin());
    return (epoch << EPOCH_BITS) | low_[index];
}

line_mark line_marks::mark_at_or_before(std::uint64_t line_number) const {
    const std::uint64_t index = std::min<std::uint64_t>((line_number - 1) >> interval_shift_, low_.size() - 1);
    return {index * interval_ + 1, offset_of(static_cast<std::size_t>(index))};
}

}  // namespace line_shuffler
