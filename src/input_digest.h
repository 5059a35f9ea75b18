// A digest of the input's bytes, taken by the count and again by every
// read of the writer. The file's times say whether it was written to only
// as finely as the file system keeps them: where that is whole seconds, a
// rewrite within the second that keeps the size and every newline leaves
// the file saying what it said. Its bytes can't.
//
// The file is hashed in aligned blocks, each on its own with its index
// mixed in, and a digest is the sum of its blocks' hashes (mod 2^64). A
// reader covering [a, b) takes the blocks that start in [a, b), reading on
// past b to the end of its last block; readers that cover the file between
// them, in any order and on any thread, then add up to the whole file's
// digest.
//
// Within a block every 64-bit word goes into one of eight lanes, by its
// place in its 64-byte stretch. Each lane keeps the sum of its words and
// the sum of those running sums, which weighs each word by how far from the
// block's end it lies (mod 2^64 both): a changed word changes the first,
// words that trade places change the second. The block's hash then mixes
// the sixteen sums, its index and its length through multiplications. Two
// additions for each 16 bytes cost far less than a multiplication there,
// and they overlap with the newline scan of the same bytes.
//
// What it can miss, being linear within a block: changes that leave both
// sums of every lane as they were. One changed word always shows. Two
// lines trading places show unless, lane by lane, their words add up alike
// (the same 64-byte pieces in another order, say) or differ only in their
// top bits; other misses take changes that cancel out in pairs. Accidental
// rewrites hardly ever line up so; one made to fool the check can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "newline_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace line_shuffler {

// The count reads the file in blocks of this size, so each of its reads is
// one block. A multiple of the 64-byte stretch.
inline constexpr std::size_t DIGEST_BLOCK_BYTES = std::size_t{64} * 1024;
inline constexpr std::size_t DIGEST_STRETCH = 64;

// The scans of the count and the writer hash a chunk of this size as they
// find its newlines, noting them, and only then hand on its lines: handing
// one on may call out, and the hasher's registers would then live in
// memory. Chunks start at multiples of it in the file.
inline constexpr std::size_t DIGEST_CHUNK_BYTES = 4096;

// The hash of one block, fed its stretches in order.
class block_hasher {
public:
    // The `count` stretches of 64 bytes at p: the block's next ones.
    void absorb(const char* p, std::size_t count = 1) noexcept { absorb_stretches<false>(p, count, nullptr); }

    // The same, finding the stretches' newlines on the way: masks[i] gets
    // newline_mask of stretch i. Each 16 bytes are loaded once for both.
    void absorb_scanning(const char* p, std::size_t count, std::uint64_t* masks) noexcept {
        absorb_stretches<true>(p, count, masks);
    }

    // The block's last bytes, fewer than a stretch: only the input's last
    // block has them.
    void absorb_tail(const char* p, std::size_t size) noexcept {
        char stretch[DIGEST_STRETCH] = {};
        std::memcpy(stretch, p, size);
        absorb(stretch);
    }

    // The block's hash, for block `index` of `length` bytes.
    std::uint64_t finish(std::uint64_t index, std::uint64_t length) const noexcept;

private:
    static constexpr unsigned LANES = 8;

    template <bool scanning>
    void absorb_stretches(const char* p, std::size_t count, std::uint64_t* masks) noexcept {
        // Copied to locals for the loop and back: a hasher that lives
        // beside calls (growing the lengths, say) would otherwise be kept
        // in memory, each addition waiting on a store and a load.
#if defined(__SSE2__)
        __m128i sums_0 = sums_0_;
        __m128i sums_1 = sums_1_;
        __m128i sums_2 = sums_2_;
        __m128i sums_3 = sums_3_;
        __m128i weighted_0 = weighted_0_;
        __m128i weighted_1 = weighted_1_;
        __m128i weighted_2 = weighted_2_;
        __m128i weighted_3 = weighted_3_;
        for (std::size_t i = 0; i < count; ++i, p += DIGEST_STRETCH) {
            __m128i parts[4];
            for (unsigned part = 0; part < 4; ++part) {
                parts[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + std::size_t{16} * part));
            }
            absorb_lanes(sums_0, weighted_0, parts[0]);
            absorb_lanes(sums_1, weighted_1, parts[1]);
            absorb_lanes(sums_2, weighted_2, parts[2]);
            absorb_lanes(sums_3, weighted_3, parts[3]);
            if constexpr (scanning) {
                masks[i] = newline_mask(parts);
            }
        }
        sums_0_ = sums_0;
        sums_1_ = sums_1;
        sums_2_ = sums_2;
        sums_3_ = sums_3;
        weighted_0_ = weighted_0;
        weighted_1_ = weighted_1;
        weighted_2_ = weighted_2;
        weighted_3_ = weighted_3;
#else
        std::uint64_t sums[LANES];
        std::uint64_t weighted[LANES];
        std::memcpy(sums, sums_, sizeof sums);
        std::memcpy(weighted, weighted_, sizeof weighted);
        for (std::size_t i = 0; i < count; ++i, p += DIGEST_STRETCH) {
            for (unsigned lane = 0; lane < LANES; ++lane) {
                std::uint64_t word = 0;
                std::memcpy(&word, p + 8 * lane, sizeof word);
                sums[lane] += word;
                weighted[lane] += sums[lane];
            }
            if constexpr (scanning) {
                masks[i] = newline_mask(p);
            }
        }
        std::memcpy(sums_, sums, sizeof sums);
        std::memcpy(weighted_, weighted, sizeof weighted);
#endif
    }

#if defined(__SSE2__)
    static void absorb_lanes(__m128i& sums, __m128i& weighted, __m128i words) noexcept {
        sums = _mm_add_epi64(sums, words);
        weighted = _mm_add_epi64(weighted, sums);
    }

    // Named one by one, not in arrays, so that a hasher kept in a local
    // stays in registers through the scan.
    __m128i sums_0_ = _mm_setzero_si128();
    __m128i sums_1_ = _mm_setzero_si128();
    __m128i sums_2_ = _mm_setzero_si128();
    __m128i sums_3_ = _mm_setzero_si128();
    __m128i weighted_0_ = _mm_setzero_si128();
    __m128i weighted_1_ = _mm_setzero_si128();
    __m128i weighted_2_ = _mm_setzero_si128();
    __m128i weighted_3_ = _mm_setzero_si128();
#else
    std::uint64_t sums_[LANES] = {};
    std::uint64_t weighted_[LANES] = {};
#endif
};

// The digest of the blocks that start in [from, to), from the bytes fed to
// it in order, in pieces of any size at any offset.
class range_digest {
public:
    // `from` is a block boundary (or the input's end); so is `to`, or it is
    // the input's end.
    range_digest(std::uint64_t from, std::uint64_t to) noexcept : at_(from), to_(to) {}

    // Takes what it still lacks of the bytes at `offset`; the bytes before
    // the next one it lacks must have been fed already.
    void feed(std::span<const char> bytes, std::uint64_t offset) noexcept;

    // The same, and masks[i] gets newline_mask of the piece's stretch i
    // (counted from its start; a last, shorter one padded); returns how
    // many there are. A piece that starts on a stretch boundary of the file
    // where the digest has got to, and stays within a block, is hashed as
    // it is scanned.
    std::size_t scan(std::span<const char> piece, std::uint64_t offset, std::uint64_t* masks) noexcept;

    // Ends the range sooner, at a boundary not before any byte fed.
    void end_at(std::uint64_t to) noexcept { to_ = to; }

    // The next byte it lacks, and where the range ends.
    std::uint64_t next() const noexcept { return at_; }
    std::uint64_t end() const noexcept { return to_; }
    bool complete() const noexcept { return at_ >= to_; }

    // Once complete, the digest of the range.
    std::uint64_t sum() const noexcept { return sum_; }

private:
    void end_block() noexcept;

    block_hasher block_;
    std::uint64_t at_;
    std::uint64_t to_;
    std::uint64_t sum_ = 0;
    // A stretch split between two pieces.
    char carried_[DIGEST_STRETCH] = {};
    std::size_t carried_size_ = 0;
};

// The count's digest of the whole input, kept as the digests of its
// segments, runs of consecutive blocks, so that a read that starts and ends
// at segment boundaries can be checked on its own: a pass over the input's
// first lines as well as either part of the first step. Segments double in
// length whenever there would be more than MOST_SEGMENTS of them, which
// bounds the table (64 KiB) whatever the file's size; a reader that stops
// mid-segment reads on to its end, so at most one segment more.
class input_digest {
public:
    static constexpr std::size_t MOST_SEGMENTS = 8192;

    void clear() noexcept;

    // Block `index`'s hash; blocks may come in any order. Throws
    // std::bad_alloc.
    void add_block(std::uint64_t index, std::uint64_t hash);

    // Adds the blocks of `later`, none of which this digest has.
    void absorb(const input_digest& later);

    std::uint64_t segment_bytes() const noexcept { return std::uint64_t{DIGEST_BLOCK_BYTES} << doublings_; }

    // The first segment boundary at or after `offset`, or `end` (the
    // input's end) if that comes first.
    std::uint64_t boundary_after(std::uint64_t offset, std::uint64_t end) const noexcept;

    // The digest of the blocks that start in [from, to), each of them a
    // segment boundary or the input's end.
    std::uint64_t between(std::uint64_t from, std::uint64_t to) const noexcept;

private:
    // Pairs of segments become one, in place.
    void double_segments() noexcept;

    std::vector<std::uint64_t> segments_;
    unsigned doublings_ = 0;
};

}  // namespace line_shuffler
