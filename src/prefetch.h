// A hint to start fetching memory that is about to be read, for loops whose
// reads land at random places in arrays larger than the processor's cache.
// Where the compiler has no such hint, it does nothing.
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
