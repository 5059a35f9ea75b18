#include "shared_support.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

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

scratch_folder::scratch_folder(const std::string& prefix) : previous_(std::filesystem::current_path()) {
    // Not mkdtemp, which Windows lacks: create_directory makes a folder only
    // where none is, so a random name is retried until one is new.
    std::random_device entropy;
    for (int attempt = 0; folder_.empty(); ++attempt) {
        if (attempt == 100) {
            throw std::runtime_error("cannot make a scratch folder");
        }
        const auto name = std::filesystem::temp_directory_path() / (prefix + std::to_string(entropy()));
        if (std::filesystem::create_directory(name)) {
            folder_ = name;
        }
    }
    std::filesystem::current_path(folder_);
}

scratch_folder::~scratch_folder() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace line_shuffler::testing
