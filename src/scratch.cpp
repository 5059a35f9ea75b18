#include "scratch.h"

#include "run_state.h"

namespace line_shuffler {

void scratch_space::use_work_file(platform::output_handle& work, std::uint64_t from) noexcept {
    work_ = &work;
    from_ = from;
}

bool scratch_space::use_own_file() {
    work_ = nullptr;
    from_ = 0;
    return own_.open();
}

void scratch_space::write(std::span<const char> bytes, std::uint64_t at) {
    const bool written = work_ != nullptr ? work_->write_at(bytes, from_ + at) : own_.write_at(bytes, at);
    if (!written) {
        throw run_failure{failure::write_failed};
    }
}

void scratch_space::read(std::span<char> bytes, std::uint64_t at) const {
    const platform::io_result got = work_ != nullptr ? work_->read_at(bytes, from_ + at) : own_.read_at(bytes, at);
    if (got < 0 || static_cast<std::uint64_t>(got) != bytes.size()) {
        throw run_failure{failure::output_read_failed};
    }
}

void scratch_space::release(std::uint64_t output_bytes) {
    if (work_ != nullptr && !work_->cut_to(output_bytes)) {
        throw run_failure{failure::write_failed};
    }
    work_ = nullptr;
    (void)own_.close();
}

}  // namespace line_shuffler
