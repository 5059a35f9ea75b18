// Asks the processor to start fetching memory that will be read soon, where
// the compiler can say so; elsewhere it does nothing.
#pragma once

namespace line_shuffler {

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

}  // namespace line_shuffler
