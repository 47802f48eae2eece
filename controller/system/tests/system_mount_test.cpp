// Mounting and directory creation against the real kernel. Runs only inside a
// private mount namespace; every mount and loop device it makes is removed in
// TearDown, also after a failed check.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/system/filesystem.h"
#include "controller/system/system.h"

namespace {

std::string shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    pclose(pipe);
    return out;
}

struct Mount_entry {
    std::string target;
    std::string fstype;
    std::string source;
    std::string options;  // per-mount and super-block options
};

std::vector<Mount_entry> mounts_below(const std::string& prefix) {
    std::vector<Mount_entry> found;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, target, options, field;
        fields >> id >> parent >> dev >> root >> target >> options;
        while (fields >> field && field != "-") {
        }
        Mount_entry entry;
        std::string super_options;
        fields >> entry.fstype >> entry.source >> super_options;
        entry.target = target;
        entry.options = options + "," + super_options;
        if (target.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(entry);
        }
    }
    return found;
}

bool in_private_mount_namespace() {
    char self[64] = {};
    char parent[64] = {};
    const std::string parent_ns = "/proc/" + std::to_string(getppid()) + "/ns/mnt";
    return readlink("/proc/self/ns/mnt", self, sizeof self - 1) > 0 &&
           readlink(parent_ns.c_str(), parent, sizeof parent - 1) > 0 && std::string(self) != parent;
}

class System_mount : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(in_private_mount_namespace()) << "run this test in a private mount namespace";
        // libmount keeps its own table under /run; the host's must stay untouched.
        static const int run_hidden = ::mount("quillon-test-run", "/run", "tmpfs", 0, nullptr);
        ASSERT_EQ(0, run_hidden);
        char scratch[] = "/tmp/quillon-mount-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(scratch));
        m_dir = scratch;
        ASSERT_EQ(0, ::mount("quillon-test", m_dir.c_str(), "tmpfs", 0, nullptr));
        m_image = m_dir + "/data.ext4";
        m_mnt = m_dir + "/mnt";
        ASSERT_EQ(0, mkdir(m_mnt.c_str(), 0755));
        ASSERT_EQ(0, truncate_file(m_image, 16 << 20));
        ASSERT_EQ(0, system(("mkfs.ext4 -q -F " + m_image + " >/dev/null 2>&1").c_str()));
    }

    void TearDown() override {
        if (m_dir.empty()) {
            return;
        }
        std::vector<Mount_entry> left = mounts_below(m_dir + "/");
        std::reverse(left.begin(), left.end());
        for (const Mount_entry& entry : left) {
            umount2(entry.target.c_str(), MNT_DETACH);
        }
        for (const std::string& loop : loops_of_image()) {
            system(("losetup -d " + loop).c_str());
        }
        umount2(m_dir.c_str(), MNT_DETACH);
        rmdir(m_dir.c_str());
    }

    static int truncate_file(const std::string& path, off_t size) {
        std::ofstream(path).close();
        return truncate(path.c_str(), size);
    }

    std::vector<std::string> loops_of_image() const {
        std::vector<std::string> loops;
        std::istringstream lines(shell("losetup -n -O NAME -j " + m_image + " 2>/dev/null"));
        std::string loop;
        while (lines >> loop) {
            loops.push_back(loop);
        }
        return loops;
    }

    // Runs what, returning the assertion text ("" when nothing was thrown).
    template <typename F>
    std::string assertion_of(F what, std::string* logged) {
        testing::internal::CaptureStdout();
        std::string text;
        try {
            what();
        } catch (const std::runtime_error& e) {
            text = e.what();
        }
        *logged = testing::internal::GetCapturedStdout();
        return text;
    }

    ql::System m_sys;
    ql::Filesystem m_fs;
    std::string m_dir;
    std::string m_image;
    std::string m_mnt;
};

TEST_F(System_mount, loop_backed_image_mounted_and_unmounted_with_loop_deletion) {
    m_sys.mount(m_image, m_mnt, MS_RDONLY, nullptr, nullptr);
    std::vector<Mount_entry> mounted = mounts_below(m_mnt);
    ASSERT_EQ(1u, mounted.size());
    EXPECT_EQ("ext4", mounted[0].fstype);  // found by probing
    EXPECT_NE(std::string::npos, (mounted[0].options + ",").find("ro,"));
    const std::vector<std::string> loops = loops_of_image();
    ASSERT_EQ(1u, loops.size());
    EXPECT_EQ(loops[0], mounted[0].source);

    EXPECT_TRUE(m_sys.umount(m_mnt, true));
    EXPECT_TRUE(mounts_below(m_mnt).empty());
    EXPECT_TRUE(loops_of_image().empty());
    // The device itself is free again: it has no backing file any more.
    const std::string device = loops[0].substr(loops[0].rfind('/') + 1);
    EXPECT_EQ("", shell("cat /sys/block/" + device + "/loop/backing_file 2>/dev/null"));
}

TEST_F(System_mount, flags_options_and_type_reach_the_kernel) {
    m_sys.mount(m_image, m_mnt, MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME, "data=journal", "ext4");
    const std::vector<Mount_entry> mounted = mounts_below(m_mnt);
    ASSERT_EQ(1u, mounted.size());
    const std::string options = "," + mounted[0].options + ",";
    for (const char* option : {",rw,", ",nosuid,", ",nodev,", ",noexec,", ",noatime,", ",data=journal,"}) {
        EXPECT_NE(std::string::npos, options.find(option)) << option << " in " << options;
    }
    EXPECT_TRUE(m_sys.umount(m_mnt, true));
    EXPECT_TRUE(loops_of_image().empty());
}

TEST_F(System_mount, bind_mount_and_umount_without_loop) {
    const std::string from = m_dir + "/from";
    ASSERT_EQ(0, mkdir(from.c_str(), 0755));
    std::ofstream(from + "/marker") << "bound";
    m_sys.mount(from, m_mnt, MS_BIND, nullptr, nullptr);
    EXPECT_TRUE(m_fs.exists(m_mnt + "/marker"));
    EXPECT_TRUE(m_sys.umount(m_mnt, false));
    EXPECT_FALSE(m_fs.exists(m_mnt + "/marker"));
}

TEST_F(System_mount, mount_point_is_refused_before_anything_is_mounted) {
    ASSERT_EQ(0, ::mount("quillon-test-busy", m_mnt.c_str(), "tmpfs", 0, nullptr));
    std::string logged;
    const std::string what =
        assertion_of([&] { m_sys.mount(m_image, m_mnt, MS_RDONLY, nullptr, "ext4"); }, &logged);
    EXPECT_TRUE(std::regex_match(what, std::regex("Assertion `mount_success` failed at system\\.cpp:\\d+"))) << what;
    EXPECT_TRUE(std::regex_match(
        logged, std::regex("ERROR \\([-0-9: ]+ system\\.cpp:\\d+\\) target path is already mounted\n")))
        << logged;
    const std::vector<Mount_entry> mounted = mounts_below(m_mnt);
    ASSERT_EQ(1u, mounted.size());
    EXPECT_EQ("tmpfs", mounted[0].fstype);
    EXPECT_TRUE(loops_of_image().empty());
}

TEST_F(System_mount, failed_mount_throws_and_leaves_no_loop_device) {
    const std::string garbage = m_dir + "/garbage.img";
    ASSERT_EQ(0, truncate_file(garbage, 1 << 20));
    std::string logged;
    const std::string what =
        assertion_of([&] { m_sys.mount(garbage, m_mnt, MS_RDONLY, nullptr, "ext4"); }, &logged);
    EXPECT_TRUE(std::regex_match(what, std::regex("Assertion `mount_success` failed at system\\.cpp:\\d+"))) << what;
    EXPECT_TRUE(std::regex_match(logged, std::regex("ERROR \\([-0-9: ]+ system\\.cpp:\\d+\\) mount failed: -?[1-9]\\d*\n")))
        << logged;
    EXPECT_TRUE(mounts_below(m_mnt).empty());
    EXPECT_EQ("", shell("losetup -n -O NAME -j " + garbage + " 2>/dev/null"));
}

TEST_F(System_mount, umount_of_a_path_that_is_not_mounted) {
    std::string logged;
    testing::internal::CaptureStdout();
    const bool done = m_sys.umount(m_mnt, false);
    logged = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(done);
    EXPECT_TRUE(std::regex_match(logged, std::regex("ERROR \\([-0-9: ]+ system\\.cpp:\\d+\\) mnt_context_find_umount_fs\\(" +
                                                    m_mnt + "\\) returned 1\n")))
        << logged;
}

TEST_F(System_mount, busy_mount_point_reports_the_syscall_status) {
    const std::string from = m_dir + "/from";
    ASSERT_EQ(0, mkdir(from.c_str(), 0755));
    m_sys.mount(from, m_mnt, MS_BIND, nullptr, nullptr);
    // A descriptor open below the mount point keeps it busy.
    const std::string held = m_mnt + "/held";
    FILE* holder = std::fopen(held.c_str(), "w");
    ASSERT_NE(nullptr, holder);
    testing::internal::CaptureStdout();
    const bool done = m_sys.umount(m_mnt, false);
    const std::string logged = testing::internal::GetCapturedStdout();
    std::fclose(holder);
    EXPECT_FALSE(done);
    EXPECT_TRUE(std::regex_search(logged, std::regex("ERROR \\([-0-9: ]+ system\\.cpp:\\d+\\) umount\\(" + m_mnt +
                                                     "\\) syscall status is 16\n")))
        << logged;
    EXPECT_TRUE(std::regex_search(logged, std::regex("mnt_context_umount\\(" + m_mnt + "\\) returned -?[1-9]\\d*\n")))
        << logged;
    EXPECT_TRUE(m_sys.umount(m_mnt, false));
}

TEST_F(System_mount, directory_below_a_read_only_mount_names_the_parent) {
    const std::string ro = m_dir + "/ro";
    ASSERT_EQ(0, mkdir(ro.c_str(), 0755));
    ASSERT_EQ(0, ::mount("quillon-test-ro", ro.c_str(), "tmpfs", MS_RDONLY, nullptr));
    std::string logged;
    const std::string what = assertion_of([&] { m_fs.create_directory(ro + "/a/b/c"); }, &logged);
    EXPECT_TRUE(std::regex_match(
        what, std::regex("Assertion `0 == mkdir_ret \\|\\| EEXIST == errno` failed at filesystem\\.cpp:\\d+")))
        << what;
    // EROFS (30) for the shallowest missing level, not for the requested one.
    EXPECT_TRUE(std::regex_match(logged, std::regex("ERROR \\([-0-9: ]+ filesystem\\.cpp:\\d+\\) create directory " +
                                                    ro + "/a failed: 30\n")))
        << logged;
    EXPECT_FALSE(m_fs.exists(ro + "/a"));
}

}  // namespace
