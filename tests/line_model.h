// A small in-memory model of how the tool splits and rejoins lines, kept
// free of the test framework so that the fuzz target shares it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace line_shuffler::testing {

// The input's lines as the tool sees them: each up to and including a
// newline, and the text after the last newline (possibly empty) as the last.
std::vector<std::string> model_lines(const std::string& input);

// What the shuffled file must hold for `input` written in `order` (1-based
// line numbers): every line as it is, and the input's own line end after
// its last line wherever that line lands.
std::string model_output(const std::string& input, const std::vector<std::uint32_t>& order);

}  // namespace line_shuffler::testing
