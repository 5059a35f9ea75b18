// The rand() of Microsoft's C runtime, which the Windows build draws its
// order from: x = x * 214013 + 2531011, each call giving bits 16..30 of x,
// so 15 bits a call.
#pragma once

#include <cstdint>

namespace line_shuffler::testing {

class msvcrt_rand {
public:
    explicit msvcrt_rand(std::uint32_t seed) : state_(seed) {}

    std::uint32_t operator()() {
        state_ = state_ * 214013U + 2531011U;
        return (state_ >> 16) & 0x7fffU;
    }

private:
    std::uint32_t state_;
};

}  // namespace line_shuffler::testing
