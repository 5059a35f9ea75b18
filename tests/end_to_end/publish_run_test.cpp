// Outputs that can't take a new name, and what earlier runs left: each run
// ends with the exact shuffle where the output could be written in place,
// keeps who may use it, and leaves no name behind.
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

std::string attribute(const char* name) {
    char value[64];
    const ssize_t size = ::getxattr("shuffled_file.txt", name, value, sizeof value);
    return size < 0 ? "" : std::string(value, static_cast<std::size_t>(size));
}

// Owner and user 65534 may read and write, the owning group nothing: the
// bits read 0660, the group's being the ACL's mask.
const std::string acl_for_nobody{
    "\2\0\0\0"
    "\1\0\6\0\377\377\377\377"
    "\2\0\6\0\376\377\0\0"
    "\4\0\0\0\377\377\377\377"
    "\20\0\6\0\377\377\377\377"
    "\40\0\0\0\377\377\377\377",
    44};

struct publish_run {
    const char* name;
    const char* folder;             // where file.txt is, and what shuffled_file.txt leads to
    const char* shuffled_at;        // where the shuffle must end up
    std::function<bool()> prepare;  // false skips the case: it needs root, or ext4
    std::function<void()> in_child;
    std::function<void()> check;
    const char* undo = "true";
    // A run under strace that ends it with SIGTERM once all is copied but
    // before it is flushed: the output is left empty.
    bool stopped_while_copying = false;
};

TEST_F(publish_run_test, an_output_that_cant_be_renamed_is_written_where_it_is) {
    const std::string input = numbered_lines(50'000);
    const auto shell = [](const char* command) { return [command] { return std::system(command) == 0; }; };
    const auto set_attribute = [](const char* name, const std::string& value) {
        return [name, value] { return ::setxattr("shuffled_file.txt", name, value.data(), value.size(), 0) == 0; };
    };
    const auto as_nobody = [] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(126);
        }
    };
    const std::vector<publish_run> runs = {
        {"a bind-mounted output",
         ".",
         "elsewhere.txt",
         shell("echo OLD > elsewhere.txt && mount --bind elsewhere.txt shuffled_file.txt"),
         {},
         [] {},
         "umount shuffled_file.txt"},
        {"a bind-mounted output, stopped while the shuffle is copied in",
         ".",
         "elsewhere.txt",
         shell("strace -o /dev/null true && echo OLD > elsewhere.txt && mount --bind elsewhere.txt shuffled_file.txt"),
         {},
         [] {},
         "umount shuffled_file.txt",
         true},
        {"another user's output in a sticky folder", ".", "shuffled_file.txt",
         shell("[ $(id -u) = 0 ] && chmod 1777 . && chmod 666 shuffled_file.txt && chmod 644 file.txt"), as_nobody,
         [] {
             EXPECT_EQ(fs::status("shuffled_file.txt").permissions(), fs::perms{0666});
             struct stat status {};
             EXPECT_TRUE(::stat("shuffled_file.txt", &status) == 0 && status.st_uid == 0);
         },
         "chmod 755 ."},
        {"an append-only folder",
         "kept",
         "kept/shuffled_file.txt",
         shell("chattr +a kept"),
         {},
         [] {
             EXPECT_EQ(names_in("kept"), (std::vector<std::string>{"file.txt", "shuffled_file.txt"}));
         },
         "chattr -a kept"},
        {"an output with an access ACL",
         ".",
         "shuffled_file.txt",
         [&] {
             return ::chmod("shuffled_file.txt", 0600) == 0 &&
                    set_attribute("system.posix_acl_access", acl_for_nobody)();
         },
         {},
         [] {
             EXPECT_EQ(attribute("system.posix_acl_access"), acl_for_nobody);
             EXPECT_EQ(fs::status("shuffled_file.txt").permissions(), fs::perms{0660});
         }},
        {"an output with an extended attribute of its own",
         ".",
         "shuffled_file.txt",
         set_attribute("user.origin", "kept"),
         {},
         [] { EXPECT_EQ(attribute("user.origin"), "kept"); }},
    };
    for (const publish_run& each : runs) {
        SCOPED_TRACE(each.name);
        fs::create_directories(each.folder);
        write_file(fs::path{each.folder} / "file.txt", input);
        write_file(fs::path{each.folder} / "shuffled_file.txt", "the old output\n");
        if (!each.prepare()) {
            std::cout << "[ SKIPPED  ] " << each.name << ": needs root and ext4 or the like\n";
        } else {
            const std::int64_t from = seconds_now();
            std::vector<std::string> prefix;
            if (each.stopped_while_copying) {
                prefix = {"strace",
                          "-o",
                          "/dev/null",
                          "-E",
                          "ASAN_OPTIONS=detect_leaks=0",
                          "-e",
                          "inject=copy_file_range:signal=SIGTERM:when=2"};
            }
            const finished_run run = run_tool({.folder = each.folder, .in_child = each.in_child, .prefix = prefix});
            if (each.stopped_while_copying) {
                EXPECT_EQ(run.exit_status, -1) << "not ended by the signal";
                EXPECT_EQ(fs::file_size(each.shuffled_at), 0U);
            } else {
                EXPECT_EQ(run.exit_status, 0) << run.console;
                expect_shuffled_in_window(input, from, seconds_now(), each.shuffled_at);
            }
            each.check();
        }
        EXPECT_EQ(std::system(each.undo), 0);
    }
}

// A signal at the swap takes the work name with it; a kill leaves it, and
// the next run removes it.
TEST_F(publish_run_test, a_run_stopped_at_the_swap_leaves_no_name_past_the_next_run) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is missing or may not trace here";
    }
    const std::string input = numbered_lines(1'000);
    write_file("file.txt", input);
    for (const auto& [stop, names_left] : {std::pair{"signal=KILL", 3U}, std::pair{"error=EINTR:signal=TERM", 2U}}) {
        SCOPED_TRACE(stop);
        finished_run run = run_tool({.prefix = {"strace", "-f", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                                                "-e", std::string{"inject=renameat2:"} + stop}});
        EXPECT_EQ(run.exit_status, -1) << "not ended by the signal";
        EXPECT_EQ(fs::file_size("shuffled_file.txt"), 0U);
        EXPECT_EQ(names_in(".").size(), names_left);
        const std::int64_t from = seconds_now();
        run = run_tool();
        EXPECT_EQ(run.exit_status, 0);
        expect_shuffled_in_window(input, from, seconds_now());
        EXPECT_EQ(names_in("."), (std::vector<std::string>{"file.txt", "shuffled_file.txt"}));
    }
}

// 18 folders of 250-byte names, longer together than a path may be, so
// each is entered on its own.
void go_deep(bool make) {
    for (char level = 'a'; level < 'a' + 18; ++level) {
        const std::string name(250, level);
        if ((make && ::mkdir(name.c_str(), 0755) != 0) || ::chdir(name.c_str()) != 0) {
            ::_exit(126);
        }
    }
}

// Neither a path too long to name nor a run short of descriptors makes the
// run write in place, where a kill would leave part of a shuffle.
TEST_F(publish_run_test, a_folder_too_deep_to_name_gets_a_work_file_and_few_descriptors_fail_cleanly) {
    const std::string input = numbered_lines(1'000);
    go_deep(true);
    write_file("file.txt", input);
    write_file("shuffled_file.txt", "the old output\n");
    struct stat before {};
    struct stat after {};
    ASSERT_EQ(::stat("shuffled_file.txt", &before), 0);
    fs::current_path(folder());
    const std::int64_t from = seconds_now();
    finished_run run = run_tool({.in_child = [] { go_deep(false); }});
    EXPECT_EQ(run.exit_status, 0);
    const finished_run few = run_tool({.in_child = [] {
        go_deep(false);
        const struct rlimit six { 6, 6 };
        ::setrlimit(RLIMIT_NOFILE, &six);
    }});
    go_deep(false);
    expect_shuffled_in_window(input, from, seconds_now());
    ASSERT_EQ(::stat("shuffled_file.txt", &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "written in place";
    EXPECT_EQ(few.exit_status, 1);
    EXPECT_EQ(
        few.console,
        banner + "Write file is not opened. Check that shuffled_file.txt can be created in this folder\n" + key_wait);
    expect_shuffled_in_window(input, from, seconds_now());
    // Taken apart from the bottom up, each name short enough on its own.
    for (char level = 'a' + 17; level >= 'a'; --level) {
        fs::remove("file.txt");
        fs::remove("shuffled_file.txt");
        ASSERT_EQ(::chdir(".."), 0);
        ASSERT_EQ(::rmdir(std::string(250, level).c_str()), 0);
    }
}

}  // namespace
}  // namespace line_shuffler::end_to_end
