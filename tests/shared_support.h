// What the tests and the fuzz target share, free of GoogleTest so that the
// fuzz target can link it: a scratch folder to run in, whole files read and
// written, and a clock that says what the test wants.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace line_shuffler::testing {

// Throw std::runtime_error if the file can't be read or written whole.
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// A clock for run_state::clock that always says fixed_seconds.
extern std::int64_t fixed_seconds;
std::int64_t fixed_clock();

// A fresh folder, the working directory for as long as it lives, since the
// tool's file names are fixed; then the previous working directory is given
// back, so that paths relative to it (libFuzzer's corpus and crash files)
// stay valid, and the folder is removed with all it holds.
class scratch_folder {
public:
    // Named `prefix` and a random number; throws std::runtime_error if no
    // folder can be made.
    explicit scratch_folder(const std::string& prefix);
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    ~scratch_folder();

    const std::filesystem::path& path() const { return folder_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

}  // namespace line_shuffler::testing
