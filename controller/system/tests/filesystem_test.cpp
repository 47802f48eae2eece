#include "controller/system/filesystem.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
