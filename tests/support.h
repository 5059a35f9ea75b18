// Helpers shared by the tests: scratch folders, whole-file I/O, and a small
// in-memory model of how the tool splits and rejoins lines.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace line_shuffler::testing {

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// The input's lines as the tool sees them: each up to and including a
// newline, and the text after the last newline (possibly empty) as the last.
std::vector<std::string> model_lines(const std::string& input);

// What the shuffled file must hold for `input` written in `order` (1-based
// line numbers): every line as it is, and the input's own line end after
// its last line wherever that line lands.
std::string model_output(const std::string& input, const std::vector<std::uint32_t>& order);

// The order the tool draws for `line_count` lines when the clock says
// `seconds`.
std::vector<std::uint32_t> order_drawn_in(std::int32_t line_count, std::int64_t seconds);

// A clock for run_state::clock that always says fixed_seconds.
extern std::int64_t fixed_seconds;
std::int64_t fixed_clock();

// Each test runs in a fresh folder of its own, made the working directory
// for its duration, since the tool's file names are fixed.
class scratch_folder_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

}  // namespace line_shuffler::testing
