// Newline search 64 bytes at a time. A 64-byte stretch becomes one 64-bit
// mask with a bit for every newline, so counting newlines is a popcount and
// passing over k lines is a few bit operations. On files of short lines a
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

// The position of set bit `rank` (counting from 0) of a mask that has more
// than `rank` set bits, without visiting the bits before it: the running
// counts of all eight bytes come from one multiplication, and comparing
// them with the rank all at once finds the byte that holds the bit.
inline unsigned nth_set_bit(std::uint64_t mask, std::uint64_t rank) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::uint64_t counts = mask - ((mask >> 1) & 0x5555555555555555ULL);
    counts = (counts & 0x3333333333333333ULL) + ((counts >> 2) & 0x3333333333333333ULL);
    counts = ((counts + (counts >> 4)) & 0x0f0f0f0f0f0f0f0fULL) * ones;  // byte i: bits in bytes 0..i
    const std::uint64_t at_most_rank = (((rank * ones) | highs) - counts) & highs;
    const auto byte = static_cast<unsigned>(((at_most_rank >> 7) * ones) >> 56);
    const std::uint64_t before = byte == 0 ? 0 : (counts >> (8 * (byte - 1))) & 0xff;
    std::uint64_t bits = (mask >> (8 * byte)) & 0xff;
    for (std::uint64_t skip = rank - before; skip > 0; --skip) {
        bits &= bits - 1;
    }
    return 8 * byte + static_cast<unsigned>(std::countr_zero(bits));
}

// The same for the last, shorter stretch of a block.
inline std::uint64_t newline_mask(const char* p, std::size_t size) noexcept {
    char stretch[SCAN_STRIDE] = {};
    std::memcpy(stretch, p, size);
    return newline_mask(stretch);
}

// Passes over up to `lines` newlines in [p, end). Returns the byte after the
// last newline passed over (end if there were too few) and lowers `lines`
// by the number passed over.
inline const char* skip_newlines(const char* p, const char* const end, std::uint64_t& lines) noexcept {
    while (lines > 0 && static_cast<std::size_t>(end - p) >= SCAN_STRIDE) {
        std::uint64_t mask = newline_mask(p);
        const std::uint64_t found = count_bits(mask);
        if (found < lines) {
            lines -= found;
            p += SCAN_STRIDE;
            continue;
        }
        for (; lines > 1; --lines) {
            mask &= mask - 1;
        }
        lines = 0;
        return p + std::countr_zero(mask) + 1;
    }
    while (lines > 0 && p < end) {
        const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (newline == nullptr) {
            return end;
        }
        p = static_cast<const char*>(newline) + 1;
        --lines;
    }
    return p;
}

}  // namespace line_shuffler
