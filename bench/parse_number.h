// The benchmark helpers' one way of reading a count from the command line:
// decimal digits and nothing else, refused past what 64 bits hold.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace bench {

inline bool parse_u64(const char* text, std::uint64_t& value) {
    if (*text < '0' || *text > '9') {
        return false;  // strtoull would take "-1" as its largest value
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace bench
