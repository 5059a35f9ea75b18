// Outputs that can't take a new name, and what earlier runs left: each run
// ends with the exact shuffle where the output could be written in place,
// keeps who may use it, and leaves no name behind.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runs.h"

namespace line_shuffler::end_to_end {
namespace {

using publish_run_test = testing::scratch_folder_test;

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Sets or clears the append-only flag of a folder; false where the file
// system or the run's privileges don't allow it.
bool set_append_only(const char* folder, bool on) {
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// The owner may read and write, user 65534 too, the owning group nothing:
// the bits show 0660, the group bits being the ACL's mask.
std::string acl_for_nobody() {
    std::string acl{"\x02\x00\x00\x00", 4};
    const auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
        acl.append(reinterpret_cast<const char*>(&tag), 2);
        acl.append(reinterpret_cast<const char*>(&permissions), 2);
        acl.append(reinterpret_cast<const char*>(&id), 4);
    };
    entry(0x01, 6, ~0U);
    entry(0x02, 6, 65534);
    entry(0x04, 0, ~0U);
    entry(0x10, 6, ~0U);
    entry(0x20, 0, ~0U);
    return acl;
}

struct publish_run {
    const char* name;
    const char* shuffled_at;
    // Makes the folder ready; false if this machine or user can't.
    std::function<bool()> prepare;
    run_options options;
    // Checks the files after the run; the shuffle has been checked.
    std::function<void()> check;
    std::function<void()> undo = [] {};
};

TEST_F(publish_run_test, an_output_that_cant_be_renamed_is_written_where_it_is) {
    const std::string input = numbered_lines(50'000);
    const std::vector<publish_run> runs = {
        {"a bind-mounted output", "elsewhere.txt",
         [] {
             write_file("elsewhere.txt", "OLD\n");
             return ::mount("elsewhere.txt", "shuffled_file.txt", nullptr, MS_BIND, nullptr) == 0;
         },
         {},
         [] {},
         [] { ::umount2("shuffled_file.txt", MNT_DETACH); }},
        {"another user's output in a sticky folder", "shuffled_file.txt",
         [] {
             return ::geteuid() == 0 && ::chmod(".", 01777) == 0 && ::chmod("shuffled_file.txt", 0666) == 0 &&
                    ::chmod("file.txt", 0644) == 0;
         },
         {.in_child =
              [] {
                  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                      ::_exit(126);
                  }
              }},
         [] {
             struct stat status {};
             ASSERT_EQ(::stat("shuffled_file.txt", &status), 0);
             EXPECT_EQ(status.st_uid, 0U);
             EXPECT_EQ(status.st_mode & 07777, 0666U);
         }},
        {"an append-only folder", "kept/shuffled_file.txt", [] { return set_append_only("kept", true); },
         {.folder = "kept"},
         [] { EXPECT_EQ(names_in("kept"), (std::vector<std::string>{"file.txt", "shuffled_file.txt"})); },
         [] { set_append_only("kept", false); }},
        {"an output with an access ACL", "shuffled_file.txt",
         [] {
             const std::string acl = acl_for_nobody();
             return ::chmod("shuffled_file.txt", 0600) == 0 &&
                    ::setxattr("shuffled_file.txt", "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
         },
         {},
         [] {
             char carried[64];
             const ssize_t size = ::getxattr("shuffled_file.txt", "system.posix_acl_access", carried, sizeof carried);
             EXPECT_EQ(std::string(carried, static_cast<std::size_t>(std::max<ssize_t>(size, 0))), acl_for_nobody());
             EXPECT_EQ(fs::status("shuffled_file.txt").permissions(), fs::perms{0660});
         }},
        {"an output with an extended attribute of its own", "shuffled_file.txt",
         [] { return ::setxattr("shuffled_file.txt", "user.origin", "kept", 4, 0) == 0; }, {},
         [] {
             char kept[8];
             const ssize_t size = ::getxattr("shuffled_file.txt", "user.origin", kept, sizeof kept);
             EXPECT_EQ(std::string(kept, static_cast<std::size_t>(std::max<ssize_t>(size, 0))), "kept");
         }},
    };
    for (const publish_run& each : runs) {
        SCOPED_TRACE(each.name);
        fs::create_directories(each.options.folder);
        write_file(each.options.folder / "file.txt", input);
        write_file(each.options.folder / "shuffled_file.txt", "the old output\n");
        if (!each.prepare()) {
            std::cout << "[ SKIPPED  ] " << each.name << ": needs root and ext4 or the like\n";
            each.undo();
            continue;
        }
        const std::int64_t from = seconds_now();
        const finished_run run = run_tool(each.options);
        EXPECT_EQ(run.exit_status, 0) << run.console;
        expect_shuffled_in_window(input, from, seconds_now(), each.shuffled_at);
        each.check();
        each.undo();
        EXPECT_EQ(::chmod(".", 0755), 0);
    }
}

TEST_F(publish_run_test, a_run_killed_at_the_swap_leaves_a_name_that_the_next_run_removes) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is missing or may not trace here";
    }
    const std::string input = numbered_lines(1'000);
    write_file("file.txt", input);
    finished_run run = run_tool({.prefix = {"strace", "-f", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                                            "-e", "inject=renameat2:signal=KILL"}});
    EXPECT_EQ(run.exit_status, -1) << "not killed";
    EXPECT_EQ(fs::file_size("shuffled_file.txt"), 0U);
    EXPECT_EQ(names_in(".").size(), 3U);
    const std::int64_t from = seconds_now();
    run = run_tool();
    EXPECT_EQ(run.exit_status, 0);
    expect_shuffled_in_window(input, from, seconds_now());
    EXPECT_EQ(names_in("."), (std::vector<std::string>{"file.txt", "shuffled_file.txt"}));
}

// Goes down `depth` folders of 250 bytes a name, making them if asked:
// together longer than a path may be, so they are entered one by one.
void go_deep(int depth, bool make) {
    for (int level = 0; level < depth; ++level) {
        const std::string name(250, static_cast<char>('a' + level));
        if ((make && ::mkdir(name.c_str(), 0755) != 0) || ::chdir(name.c_str()) != 0) {
            throw std::runtime_error("cannot go deep");
        }
    }
}

// Neither a path longer than the system can name nor a run short of
// descriptors makes the run write in place, where a kill would leave part
// of a shuffle under the output's name.
TEST_F(publish_run_test, a_folder_too_deep_to_name_still_gets_a_work_file_and_few_descriptors_fail_cleanly) {
    constexpr int depth = 18;
    const std::string input = numbered_lines(1'000);
    const fs::path here = fs::current_path();
    go_deep(depth, true);
    write_file("file.txt", input);
    write_file("shuffled_file.txt", "the old output\n");
    struct stat before {};
    ASSERT_EQ(::stat("shuffled_file.txt", &before), 0);
    fs::current_path(here);

    const std::int64_t from = seconds_now();
    finished_run run = run_tool({.in_child = [] { go_deep(depth, false); }});
    run_options few_descriptors{.in_child = [] {
        go_deep(depth, false);
        const struct rlimit few {6, 6};
        ::setrlimit(RLIMIT_NOFILE, &few);
    }};
    go_deep(depth, false);
    EXPECT_EQ(run.exit_status, 0);
    expect_shuffled_in_window(input, from, seconds_now());
    struct stat after {};
    ASSERT_EQ(::stat("shuffled_file.txt", &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "written in place";
    write_file("shuffled_file.txt", "the old output\n");
    fs::current_path(here);

    run = run_tool(few_descriptors);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.console, banner +
                               "Write file is not opened. Check that shuffled_file.txt can be created in this folder\n" +
                               key_wait);
    go_deep(depth, false);
    EXPECT_EQ(read_file("shuffled_file.txt"), "the old output\n");
    // Taken apart from the bottom up, each name short enough on its own.
    for (int level = depth; level > 0; --level) {
        fs::remove("file.txt");
        fs::remove("shuffled_file.txt");
        ASSERT_EQ(::chdir(".."), 0);
        ASSERT_EQ(::rmdir(std::string(250, static_cast<char>('a' + level - 1)).c_str()), 0);
    }
}

}  // namespace
}  // namespace line_shuffler::end_to_end
