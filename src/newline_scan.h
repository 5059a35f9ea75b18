// Newline search 64 bytes at a time. A 64-byte stretch becomes one 64-bit
// mask with a bit for every newline, so counting its newlines is a popcount
// and finding them a walk over its set bits. On files of short lines a
// memchr call per line costs more than the bytes it looks at.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace line_shuffler {

inline constexpr std::size_t SCAN_STRIDE = 64;

#if defined(__SSE2__)
// Bit i is set where byte i of a stretch is a newline, for a stretch
// loaded already, in four parts of 16 bytes (the digest adds them up in the
// same loop).
inline std::uint64_t newline_mask(const __m128i (&parts)[4]) noexcept {
    const __m128i newline = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (unsigned part = 0; part < 4; ++part) {
        const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(parts[part], newline)));
        mask |= std::uint64_t{bits} << (16 * part);
    }
    return mask;
}
#endif

// Bit i is set where p[i] is a newline, for the SCAN_STRIDE bytes at p.
inline std::uint64_t newline_mask(const char* p) noexcept {
#if defined(__SSE2__)
    __m128i parts[4];
    for (unsigned part = 0; part < 4; ++part) {
        parts[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + std::size_t{16} * part));
    }
    return newline_mask(parts);
#else
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < SCAN_STRIDE; ++i) {
        mask |= std::uint64_t{p[i] == '\n'} << i;
    }
    return mask;
#endif
}

// The same for the `size` bytes at p, fewer than a stretch: the last
// stretch of a block, say.
inline std::uint64_t newline_mask(const char* p, std::size_t size) noexcept {
    char stretch[SCAN_STRIDE] = {};
    std::memcpy(stretch, p, size);
    return newline_mask(stretch);
}

// The number of newlines a mask holds. Without a popcount instruction in the
// baseline instruction set, std::popcount is a library call; the bit-slicing
// count below stays inline.
inline std::uint64_t count_bits(std::uint64_t mask) noexcept {
#if defined(__POPCNT__) || !defined(__x86_64__)
    return static_cast<std::uint64_t>(std::popcount(mask));
#else
    mask -= (mask >> 1) & 0x5555555555555555ULL;
    mask = (mask & 0x3333333333333333ULL) + ((mask >> 2) & 0x3333333333333333ULL);
    mask = (mask + (mask >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return (mask * 0x0101010101010101ULL) >> 56;
#endif
}

// Calls found(end) for every newline of a stretch's mask, in order, where
// `end` is `base` plus the offset in the stretch of the byte after the
// newline: where the line that the newline ends stops. Stops early once
// found returns false, and then returns false.
template <typename offset, typename function>
bool for_each_newline(std::uint64_t mask, offset base, function&& found) {
    for (; mask != 0; mask &= mask - 1) {
        if (!found(base + static_cast<offset>(std::countr_zero(mask) + 1))) {
            return false;
        }
    }
    return true;
}

}  // namespace line_shuffler
