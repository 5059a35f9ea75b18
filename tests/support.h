// Helpers shared by the tests: scratch folders, whole-file I/O, and the
// in-memory model of the line rules (line_model.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "line_model.h"
#include "run_state.h"

namespace line_shuffler::testing {

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// The order the tool draws for `line_count` lines when the clock says
// `seconds`.
std::vector<line_number> order_drawn_in(line_number line_count, std::int64_t seconds, unsigned parts = 0);

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
