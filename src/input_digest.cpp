#include "input_digest.h"

#include <algorithm>

namespace line_shuffler {

namespace {

// A bijection of 64-bit words that spreads every bit over all of them.
std::uint64_t scramble(std::uint64_t x) noexcept {
    x ^= x >> 32;
    x *= 0xe55607745cb37839ULL;
    x ^= x >> 29;
    x *= 0xfedcbf6d9e5f3915ULL;
    x ^= x >> 32;
    return x;
}

}  // namespace

std::uint64_t block_hasher::finish(std::uint64_t index, std::uint64_t length) const noexcept {
    std::uint64_t words[2 * LANES];
#if defined(__SSE2__)
    const __m128i* const parts[] = {&sums_0_,     &sums_1_,     &sums_2_,     &sums_3_,
                                    &weighted_0_, &weighted_1_, &weighted_2_, &weighted_3_};
    for (std::size_t part = 0; part < std::size(parts); ++part) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 2 * part), *parts[part]);
    }
#else
    std::copy(sums_, sums_ + LANES, words);
    std::copy(weighted_, weighted_ + LANES, words + LANES);
#endif
    // Each step a bijection of what came before plus one word: states that
    // differ in one word hash apart, and the same bytes in another block
    // start from another state.
    std::uint64_t hash = scramble(index * 0x8eb2fea680b7f1b9ULL + length);
    for (const std::uint64_t word : words) {
        hash = scramble(hash + word);
    }
    return hash;
}

void range_digest::feed(std::span<const char> bytes, std::uint64_t offset) noexcept {
    const std::uint64_t stop = std::min(offset + bytes.size(), to_);
    if (stop <= at_) {
        return;
    }
    const char* p = bytes.data() + (at_ - offset);
    while (at_ < stop) {
        const std::uint64_t block_end =
            std::min(at_ / DIGEST_BLOCK_BYTES * DIGEST_BLOCK_BYTES + DIGEST_BLOCK_BYTES, to_);
        auto left = static_cast<std::size_t>(std::min(stop, block_end) - at_);
        if (carried_size_ > 0) {
            const std::size_t taken = std::min(left, DIGEST_STRETCH - carried_size_);
            std::memcpy(carried_ + carried_size_, p, taken);
            carried_size_ += taken;
            p += taken;
            at_ += taken;
            left -= taken;
            if (carried_size_ == DIGEST_STRETCH) {
                block_.absorb(carried_);
                carried_size_ = 0;
            }
        }
        if (carried_size_ == 0) {
            const std::size_t whole = left / DIGEST_STRETCH * DIGEST_STRETCH;
            block_.absorb(p, whole / DIGEST_STRETCH);
            std::memcpy(carried_, p + whole, left - whole);
            carried_size_ = left - whole;
            p += left;
            at_ += left;
        }
        if (at_ == block_end) {
            end_block();
        }
    }
}

std::size_t range_digest::scan(std::span<const char> piece, std::uint64_t offset, std::uint64_t* masks) noexcept {
    const char* const p = piece.data();
    const std::size_t whole = piece.size() / DIGEST_STRETCH;
    const std::size_t rest = piece.size() % DIGEST_STRETCH;
    std::size_t scanned = 0;
    if (whole > 0 && offset == at_ && carried_size_ == 0 && offset % DIGEST_STRETCH == 0 &&
        offset + piece.size() <= to_ && offset % DIGEST_BLOCK_BYTES + piece.size() <= DIGEST_BLOCK_BYTES) {
        block_.absorb_scanning(p, whole, masks);
        scanned = whole;
        at_ += whole * DIGEST_STRETCH;
        if (rest == 0 && (at_ % DIGEST_BLOCK_BYTES == 0 || at_ == to_)) {
            end_block();
        }
    }
    for (std::size_t i = scanned; i < whole; ++i) {
        masks[i] = newline_mask(p + i * DIGEST_STRETCH);
    }
    if (rest > 0) {
        masks[whole] = newline_mask(p + whole * DIGEST_STRETCH, rest);
    }
    feed(piece, offset);  // whatever the scan has not hashed
    return whole + (rest > 0 ? 1 : 0);
}

void range_digest::end_block() noexcept {
    if (carried_size_ > 0) {
        block_.absorb_tail(carried_, carried_size_);
        carried_size_ = 0;
    }
    const std::uint64_t start = (at_ - 1) / DIGEST_BLOCK_BYTES * DIGEST_BLOCK_BYTES;
    sum_ += block_.finish(start / DIGEST_BLOCK_BYTES, at_ - start);
    block_ = block_hasher{};
}

void input_digest::clear() noexcept {
    segments_ = {};
    doublings_ = 0;
}

void input_digest::add_block(std::uint64_t index, std::uint64_t hash) {
    std::uint64_t segment = index >> doublings_;
    while (segment >= MOST_SEGMENTS) {
        double_segments();
        segment >>= 1;
    }
    if (segment >= segments_.size()) {
        segments_.resize(static_cast<std::size_t>(segment) + 1, 0);
    }
    segments_[static_cast<std::size_t>(segment)] += hash;
}

void input_digest::double_segments() noexcept {
    for (std::size_t i = 0; 2 * i < segments_.size(); ++i) {
        const std::uint64_t second = 2 * i + 1 < segments_.size() ? segments_[2 * i + 1] : 0;
        segments_[i] = segments_[2 * i] + second;
    }
    segments_.resize((segments_.size() + 1) / 2);
    ++doublings_;
}

void input_digest::absorb(const input_digest& later) {
    // A segment of `later` must fall within one of ours: ours are made as
    // wide first.
    while (doublings_ < later.doublings_) {
        double_segments();
    }
    for (std::size_t segment = 0; segment < later.segments_.size(); ++segment) {
        add_block(std::uint64_t{segment} << later.doublings_, later.segments_[segment]);
    }
}

std::uint64_t input_digest::boundary_after(std::uint64_t offset, std::uint64_t end) const noexcept {
    const std::uint64_t segment = segment_bytes();
    return std::min((offset + segment - 1) / segment * segment, end);
}

std::uint64_t input_digest::between(std::uint64_t from, std::uint64_t to) const noexcept {
    // Rounded up, both: either may be the input's end, inside its last
    // segment.
    const std::uint64_t segment = segment_bytes();
    const auto first =
        static_cast<std::size_t>(std::min<std::uint64_t>((from + segment - 1) / segment, segments_.size()));
    const auto last = static_cast<std::size_t>(std::min<std::uint64_t>((to + segment - 1) / segment, segments_.size()));
    std::uint64_t sum = 0;
    for (std::size_t i = first; i < last; ++i) {
        sum += segments_[i];
    }
    return sum;
}

}  // namespace line_shuffler
