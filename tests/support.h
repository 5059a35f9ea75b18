// Helpers of the GoogleTest tests, beside those they share with the fuzz
// target (shared_support.h) and the model of the line rules (line_model.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "line_model.h"
#include "run_state.h"
#include "shared_support.h"

namespace line_shuffler::testing {

// The order the tool draws for `line_count` lines when the clock says
// `seconds`.
std::vector<line_number> order_drawn_in(line_number line_count, std::int64_t seconds, unsigned parts = 0);

// Each test runs in a scratch folder of its own.
class scratch_folder_test : public ::testing::Test {
protected:
    void SetUp() override { scratch_.emplace("line_shuffler_test_"); }
    void TearDown() override { scratch_.reset(); }
    const std::filesystem::path& folder() const { return scratch_->path(); }

private:
    std::optional<scratch_folder> scratch_;
};

}  // namespace line_shuffler::testing
