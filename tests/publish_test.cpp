// Publishing the output, in process: the name given by a swap or the work
// file copied in, and what either leaves of the old file and the folder,
// with the system's refusals made up through the platform's seam.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "support.h"

namespace line_shuffler {
namespace {

namespace fs = std::filesystem;
using platform::publish_step;
using testing::read_file;
using testing::write_file;

const std::string shuffled = "b\nc\na\n";

// The names a run may leave in `folder` besides those the test made.
std::vector<std::string> work_names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(".line_shuffler.")) {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

ino_t inode_of(const char* path) {
    struct stat status {};
    return ::stat(path, &status) == 0 ? status.st_ino : 0;
}

class publish_test : public testing::scratch_folder_test {
protected:
    void TearDown() override {
        let_every_step_through();
        testing::scratch_folder_test::TearDown();
    }

    static void let_every_step_through() {
        for (int step = 0; step < static_cast<int>(publish_step::count); ++step) {
            platform::fail_publish_step(static_cast<publish_step>(step), 0);
        }
    }

    // Writes the shuffle into the output opened as `name` and publishes it.
    int publish_through(const char* name) {
        const platform::input_handle no_input;
        platform::output_handle output;
        EXPECT_EQ(output.open(name, no_input), platform::open_error::none);
        EXPECT_TRUE(output.reads_back());
        EXPECT_TRUE(output.write_at(std::span<const char>{shuffled}, 0));
        const int published = output.publish();
        EXPECT_EQ(output.close(), 0);
        return published;
    }
};

struct refusal {
    publish_step step;
    int error;
};

struct publish_case {
    const char* name;
    std::vector<refusal> refusals;
    int result;
    bool swapped;  // the name went to the work file; otherwise it was copied in
};

TEST_F(publish_test, every_way_ends_in_the_shuffle_or_an_empty_output_and_leaves_no_name) {
    const std::vector<publish_case> cases = {
        {"the swap", {}, 0, true},
        {"a folder that takes no new name", {{publish_step::link, EPERM}}, 0, false},
        {"a name that can't be swapped nor replaced",
         {{publish_step::swap, EBUSY}, {publish_step::rename, EBUSY}},
         0,
         false},
        {"a file system that can't swap", {{publish_step::swap, EINVAL}}, 0, true},
        {"a flush that fails", {{publish_step::flush, EIO}}, EIO, false},
        {"a copy that fails", {{publish_step::link, EXDEV}, {publish_step::copy, ENOSPC}}, ENOSPC, false},
    };
    for (const publish_case& each : cases) {
        SCOPED_TRACE(each.name);
        write_file("shuffled_file.txt", "the old output, longer than the shuffle\n");
        ASSERT_EQ(::chmod("shuffled_file.txt", 0640), 0);
        const ino_t old = inode_of("shuffled_file.txt");
        for (const refusal& step : each.refusals) {
            platform::fail_publish_step(step.step, step.error);
        }
        EXPECT_EQ(publish_through("shuffled_file.txt"), each.result);
        let_every_step_through();
        EXPECT_EQ(read_file(fs::path{"shuffled_file.txt"}), each.result == 0 ? shuffled : "");
        struct stat status {};
        ASSERT_EQ(::stat("shuffled_file.txt", &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0640U);
        EXPECT_EQ(status.st_ino != old, each.swapped);
        EXPECT_EQ(work_names_in("."), std::vector<std::string>{});
    }
}

TEST_F(publish_test, a_linked_output_is_published_where_the_link_leads) {
    fs::create_directories("elsewhere/deeper");
    write_file("elsewhere/deeper/target.txt", "old\n");
    fs::create_symlink("deeper/target.txt", "elsewhere/link.txt");
    fs::create_symlink("elsewhere/link.txt", "shuffled_file.txt");
    const ino_t old = inode_of("elsewhere/deeper/target.txt");
    EXPECT_EQ(publish_through("shuffled_file.txt"), 0);
    EXPECT_TRUE(fs::is_symlink("shuffled_file.txt"));
    EXPECT_TRUE(fs::is_symlink("elsewhere/link.txt"));
    EXPECT_EQ(read_file(fs::path{"elsewhere/deeper/target.txt"}), shuffled);
    EXPECT_NE(inode_of("elsewhere/deeper/target.txt"), old);
    EXPECT_EQ(work_names_in("elsewhere/deeper"), std::vector<std::string>{});
}

TEST_F(publish_test, a_work_name_left_by_a_killed_run_goes_and_a_running_ones_stays) {
    write_file(".line_shuffler.4000001.0", "a dead run's shuffle\n");
    write_file(".line_shuffler.4000002.0", "a live run's shuffle\n");
    write_file(".line_shuffler.notes", "not a work name\n");
    const int live = ::open(".line_shuffler.4000002.0", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    EXPECT_EQ(publish_through("shuffled_file.txt"), 0);
    ::close(live);
    std::vector<std::string> left = work_names_in(".");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".line_shuffler.4000002.0", ".line_shuffler.notes"}));
}

}  // namespace
}  // namespace line_shuffler
