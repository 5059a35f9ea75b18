#include "support.h"

#include "run_state.h"
#include "shuffle.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace line_shuffler::testing {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::int64_t fixed_seconds = 0;
std::int64_t fixed_clock() {
    return fixed_seconds;
}

std::vector<line_number> order_drawn_in(line_number line_count, std::int64_t seconds, unsigned parts) {
    fixed_seconds = seconds;
    auto run = std::make_unique<run_state>();
    run->limits.parts = parts;
    run->clock = fixed_clock;
    run->line_count = line_count;
    make_shuffle_order(*run);
    return {run->shuffle_order.get(), run->shuffle_order.get() + line_count};
}

void scratch_folder_test::SetUp() {
    previous_ = std::filesystem::current_path();
    // Not mkdtemp, which Windows lacks: create_directory makes a folder only
    // where none is, so a random name is retried until one is new.
    std::random_device entropy;
    for (int attempt = 0; folder_.empty(); ++attempt) {
        if (attempt == 100) {
            throw std::runtime_error("cannot make a scratch folder");
        }
        const auto name = std::filesystem::temp_directory_path() / ("line_shuffler_test_" + std::to_string(entropy()));
        if (std::filesystem::create_directory(name)) {
            folder_ = name;
        }
    }
    std::filesystem::current_path(folder_);
}

void scratch_folder_test::TearDown() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace line_shuffler::testing
