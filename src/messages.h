// Every text the tool shows on the console, in one place, exactly as shown.
#pragma once

#include <cstdint>

#include "run_state.h"

namespace line_shuffler {

namespace messages {

inline constexpr const char* banner[] = {
    "\n",
    "Explanation: Line shuffling in a text file\n",
    "Max line length must be 1000 characters\n",
    "Input file name must be file.txt\n",
    "Output shuffled file name will be shuffled_file.txt\n",
    "\n",
};

// The number a text gives, its digits read in order as one decimal.
constexpr std::uint64_t number_in(const char* text) {
    std::uint64_t number = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c >= '0' && *c <= '9') {
            number = number * 10 + static_cast<std::uint64_t>(*c - '0');
        }
    }
    return number;
}
static_assert(number_in(banner[2]) == LINE_BUFFER_SIZE, "LINE_BUFFER_SIZE is the line length the banner promises");

inline constexpr const char* line_count = "Total line number: %d\n";
inline constexpr const char* done = "\nShuffling process has done.\n";
inline constexpr const char* press_any_key = "\nPress any key to exit...\n";

inline constexpr const char* input_not_opened = "Read file is not opened. Check the file name. It must be file.txt\n";
inline constexpr const char* output_not_opened =
    "Write file is not opened. Check that shuffled_file.txt can be created in this folder\n";
inline constexpr const char* output_is_input =
    "Write file is the read file. shuffled_file.txt must not be file.txt under another name\n";
inline constexpr const char* console_is_file =
    "Console output goes to file.txt or shuffled_file.txt. Send it elsewhere, or the dialogue mixes with the lines\n";
// The lock may be anybody's: the tool can't tell another run's from another
// program's.
inline constexpr const char* output_locked =
    "Write file is locked by another program, perhaps another run of this tool. Try again when it has finished\n";
inline constexpr const char* too_many_lines = "Too many lines. At most 2147483647 lines can be shuffled\n";
static_assert(number_in(too_many_lines) == MAX_LINE_COUNT, "MAX_LINE_COUNT is the line count the message allows");
inline constexpr const char* out_of_memory = "Not enough memory to shuffle this many lines\n";
inline constexpr const char* read_failed = "Read file could not be read to its end. The shuffled file is incomplete\n";
// Found at the end of the write, the change leaves a shuffled file of full
// size, but of lines from before and after it.
inline constexpr const char* input_changed =
    "Read file was changed by another program while it was shuffled. The shuffled file can't be trusted\n";
inline constexpr const char* write_failed = "Write file could not be written. The shuffled file is incomplete\n";
// The lines are sorted in the output's own work file, which is read back.
inline constexpr const char* output_read_failed =
    "Write file could not be read back while its lines were sorted. The shuffled file is incomplete\n";

// The message of each failure, named side by side. A failure without its
// case here fails the build, with or without warnings as errors.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch"
#endif
constexpr const char* for_failure(failure reason) noexcept {
    switch (reason) {
        case failure::input_not_opened:
            return input_not_opened;
        case failure::output_not_opened:
            return output_not_opened;
        case failure::output_is_input:
            return output_is_input;
        case failure::console_is_file:
            return console_is_file;
        case failure::output_locked:
            return output_locked;
        case failure::too_many_lines:
            return too_many_lines;
        case failure::read_failed:
            return read_failed;
        case failure::input_changed:
            return input_changed;
        case failure::write_failed:
            return write_failed;
        case failure::output_read_failed:
            return output_read_failed;
    }
    return "";  // only for a value outside the enum, which no step throws
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace messages

}  // namespace line_shuffler
