#include "controller/system/filesystem.h"
#include "controller/system/file_lock.h"
#include "controller/system/mount_table.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace {

class Filesystem_test : public testing::Test {
protected:
    void SetUp() override {
        char scratch[] = "/tmp/quillon-fs-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(scratch));
        m_dir = scratch;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // Runs create_directory and returns the assertion text ("" when it returned)
    // and what was logged.
    std::string create(const std::string& dir, std::string* logged) {
        testing::internal::CaptureStdout();
        std::string what;
        try {
            m_fs.create_directory(dir);
        } catch (const std::runtime_error& e) {
            what = e.what();
        }
        *logged = testing::internal::GetCapturedStdout();
        return what;
    }

    ql::Filesystem m_fs;
    std::string m_dir;
};

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return st.st_mode;
}

TEST_F(Filesystem_test, three_missing_levels_with_mode_0755) {
    const mode_t previous = umask(0);
    std::string logged;
    const std::string what = create(m_dir + "/a/b/c", &logged);
    umask(previous);
    EXPECT_EQ("", what);
    EXPECT_EQ("", logged);
    for (const char* sub : {"/a", "/a/b", "/a/b/c"}) {
        const mode_t mode = mode_of(m_dir + sub);
        EXPECT_TRUE(S_ISDIR(mode)) << sub;
        EXPECT_EQ(0755u, mode & 07777) << sub;
    }
}

TEST_F(Filesystem_test, umask_applies_to_new_directories) {
    const mode_t previous = umask(027);
    std::string logged;
    EXPECT_EQ("", create(m_dir + "/masked", &logged));
    umask(previous);
    EXPECT_EQ(0750u, mode_of(m_dir + "/masked") & 07777);
}

TEST_F(Filesystem_test, existing_directory_is_accepted_silently) {
    std::string logged;
    EXPECT_EQ("", create(m_dir, &logged));
    EXPECT_EQ("", logged);
    EXPECT_EQ("", create(m_dir + "/", &logged));
    EXPECT_EQ("", logged);
}

TEST_F(Filesystem_test, existing_file_is_not_a_directory) {
    const std::string file = m_dir + "/file";
    std::ofstream(file) << "x";
    std::string logged;
    const std::string what = create(file, &logged);
    EXPECT_TRUE(std::regex_match(
        what, std::regex("Assertion `fs::is_directory\\(dir\\.c_str\\(\\)\\)` failed at filesystem\\.cpp:\\d+")))
        << what;
    EXPECT_TRUE(std::regex_match(
        logged, std::regex("ERROR \\([-0-9: ]+ filesystem\\.cpp:\\d+\\) existing " + file +
                           " is not a directory\n")))
        << logged;
}

TEST_F(Filesystem_test, parent_that_is_a_file_names_the_failing_path) {
    const std::string file = m_dir + "/file";
    std::ofstream(file) << "x";
    std::string logged;
    const std::string what = create(file + "/sub/deeper", &logged);
    EXPECT_TRUE(std::regex_match(
        what, std::regex("Assertion `0 == mkdir_ret \\|\\| EEXIST == errno` failed at filesystem\\.cpp:\\d+")))
        << what;
    // ENOTDIR (20) from the first attempt already.
    EXPECT_TRUE(std::regex_match(
        logged, std::regex("ERROR \\([-0-9: ]+ filesystem\\.cpp:\\d+\\) create directory " + file +
                           "/sub/deeper failed: 20\n")))
        << logged;
}

TEST_F(Filesystem_test, empty_path_is_refused_without_log_line) {
    std::string logged;
    const std::string what = create("", &logged);
    EXPECT_TRUE(std::regex_match(what, std::regex("Assertion `!dir\\.empty\\(\\)` failed at filesystem\\.cpp:\\d+")))
        << what;
    EXPECT_EQ("", logged);
}

TEST_F(Filesystem_test, exists_follows_links) {
    const std::string file = m_dir + "/file";
    std::ofstream(file) << "x";
    std::filesystem::create_symlink(file, m_dir + "/good-link");
    std::filesystem::create_symlink(m_dir + "/missing", m_dir + "/dangling-link");
    EXPECT_TRUE(m_fs.exists(file));
    EXPECT_TRUE(m_fs.exists(m_dir));
    EXPECT_TRUE(m_fs.exists(m_dir + "/good-link"));
    EXPECT_FALSE(m_fs.exists(m_dir + "/dangling-link"));
    EXPECT_FALSE(m_fs.exists(m_dir + "/missing"));
    EXPECT_FALSE(m_fs.exists(m_dir + "/missing/deeper"));
    EXPECT_FALSE(m_fs.exists(file + "/below-a-file"));
}

TEST_F(Filesystem_test, exists_raises_other_query_failures) {
    // A link loop cannot be resolved: that is an error, not a missing object.
    std::filesystem::create_symlink(m_dir + "/loop-b", m_dir + "/loop-a");
    std::filesystem::create_symlink(m_dir + "/loop-a", m_dir + "/loop-b");
    try {
        m_fs.exists(m_dir + "/loop-a");
        ADD_FAILURE() << "no exception";
    } catch (const std::filesystem::filesystem_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(m_dir + "/loop-a")) << e.what();
    }
}

// The running process always has a root and a proc file system mounted.
TEST(Mount_table, ListsTheRootAndProcWithItsDevice) {
    const std::vector<ql::Mount_entry> table = ql::read_mount_table();
    // The last entry for a target is the one visible there.
    const auto find = [&](const std::string& target) {
        return std::find_if(table.rbegin(), table.rend(),
                            [&](const ql::Mount_entry& entry) { return entry.target == target; });
    };
    ASSERT_NE(table.rend(), find("/"));
    const auto proc = find("/proc");
    ASSERT_NE(table.rend(), proc);
    EXPECT_EQ("proc", proc->fstype);
    EXPECT_EQ("/", proc->root);
    struct stat st;
    ASSERT_EQ(0, ::stat("/proc", &st));
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_dev), proc->devno);
    for (const ql::Mount_entry& entry : table) {
        EXPECT_FALSE(entry.target.empty());
        EXPECT_FALSE(entry.fstype.empty()) << entry.target;
    }
}

TEST(Mount_table, MountPointsAsWrittenAndInCanonicalForm) {
    EXPECT_TRUE(ql::is_mount_point("/"));
    EXPECT_TRUE(ql::is_mount_point("/proc"));
    EXPECT_TRUE(ql::is_mount_point("/proc/../proc"));
    EXPECT_FALSE(ql::is_mount_point("/proc/self"));
    char scratch[] = "/tmp/quillon-mnt-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(scratch));
    const std::string dir = scratch;
    EXPECT_FALSE(ql::is_mount_point(dir));
    EXPECT_FALSE(ql::is_mount_point(dir + "/missing"));
    std::filesystem::remove_all(dir);
}

// Locks taken through wait_for_lock, probed without waiting from a separate
// open file description (flock locks belong to the description).
class File_lock_test : public testing::Test {
protected:
    void SetUp() override {
        char scratch[] = "/tmp/quillon-lock-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(scratch));
        m_dir = scratch;
        m_path = m_dir + "/lock";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // 0 when the lock could be taken (and is dropped again), else the errno.
    int probe(int operation) const {
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_LE(0, fd) << errno;
        const int result = ::flock(fd, operation | LOCK_NB) == 0 ? 0 : errno;
        ::close(fd);
        return result;
    }

    std::string m_dir;
    std::string m_path;
};

TEST_F(File_lock_test, ExclusiveLockKeepsEveryoneElseOutUntilItEnds) {
    {
        const ql::Unique_fd held = ql::wait_for_lock(m_path, "test", true);
        ASSERT_TRUE(held);
        struct stat st;
        ASSERT_EQ(0, ::stat(m_path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777u);
        EXPECT_EQ(EWOULDBLOCK, probe(LOCK_SH));
        EXPECT_EQ(EWOULDBLOCK, probe(LOCK_EX));
    }
    EXPECT_EQ(0, probe(LOCK_EX));
}

TEST_F(File_lock_test, SharedLocksCoexistButKeepAnExclusiveOut) {
    {
        const ql::Unique_fd first = ql::wait_for_lock(m_path, "test", false);
        const ql::Unique_fd second = ql::wait_for_lock(m_path, "test", false);
        ASSERT_TRUE(first);
        ASSERT_TRUE(second);
        EXPECT_NE(first.get(), second.get());
        EXPECT_EQ(0, probe(LOCK_SH));
        EXPECT_EQ(EWOULDBLOCK, probe(LOCK_EX));
    }
    const ql::Unique_fd exclusive = ql::wait_for_lock(m_path, "test", true);
    EXPECT_TRUE(exclusive);
}

TEST_F(File_lock_test, ASymlinkIsNotFollowed) {
    const std::string target = m_dir + "/target";
    ASSERT_EQ(0, ::symlink(target.c_str(), m_path.c_str()));
    testing::internal::CaptureStdout();
    EXPECT_THROW(ql::wait_for_lock(m_path, "test", true), std::exception);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(m_path));
    EXPECT_FALSE(std::filesystem::exists(target));
}

}  // namespace
