// Container start and stop on the running kernel, inside the private test
// root: real loop devices, squashfs, ext4 data partitions, bind mounts and
// the mount table; runc and the SMACK loader are recording fakes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kernel_support.h"

namespace ql::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;

const std::string runtime_config = R"({"ociVersion":"1.0.2","process":{"user":{"uid":1000,"gid":100},"args":["sh"]},"root":{"path":"rootfs"}})";

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fakes();
        Squashfs_container::fail_image = false;
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        fs::remove(data_image());
    }
    void TearDown() override {
        // Whatever a failing test left must not disturb the next one.
        reset_fakes();
        stop_container(name, {}, true);
        fs::remove(data_image());
    }

    std::string image_file() const {
        return "/containers/target/" + name + "/" + name + ".rootfs.squashfs-xz-dmverity";
    }
    std::string data_image() const { return "/data/containerdata/" + name; }
    std::string content() const { return "/run/containers/" + name + "/content"; }
    std::string data_mnt() const { return "/run/containers/" + name + "/data"; }

    std::string name;
};

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(Lifecycle, StartWithoutRuntimeConfigMountsDataAndStopReleasesAll) {
    build_image(name, {{"meta.sh", {"NAME=x\nDATASIZEMB=64\n", 0644}}});
    const Child_result started = start_container(name);
    ASSERT_EQ(started.status, 0) << started.output << started.error;
    EXPECT_THAT(started.output, HasSubstr("STARTING_ADAPTIVE_CONT_" + name));
    EXPECT_THAT(started.output, HasSubstr("MOUNTED_DATA_ADAPTIVE_CONT_" + name));
    EXPECT_THAT(started.output, HasSubstr("FINISHEDSTARTUP_ADAPTIVE_CONT_" + name));
    EXPECT_THAT(started.output, Not(HasSubstr("STARTRUNC")));
    EXPECT_THAT(started.output, Not(HasSubstr("SMACK_LOAD")));
    EXPECT_THAT(started.output, HasSubstr("format data partition image"));
    EXPECT_THAT(started.output, Not(HasSubstr("setting ext4 ownership options")));
    EXPECT_THAT(runc_calls(), IsEmpty());

    EXPECT_EQ(fs::file_size(data_image()), 64u << 20);
    EXPECT_FALSE(fs::exists("/data/containerdata/." + name + ".tmp"));
    // The raw image holds every file of the container: root's only.
    EXPECT_EQ(fs::status(data_image()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status("/data/containerdata").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status("/run/containers/" + name).permissions(), fs::perms::owner_all);
    ASSERT_TRUE(is_mounted(data_mnt()));
    const std::string options = mount_options(data_mnt());
    EXPECT_THAT(options, HasSubstr("nosuid"));
    EXPECT_THAT(options, HasSubstr("nodev"));
    EXPECT_THAT(options, HasSubstr("noexec"));
    EXPECT_THAT(options, HasSubstr("noatime"));
    EXPECT_THAT(options, HasSubstr("data=journal"));
    // This kernel has no SMACK: no root label option.
    EXPECT_THAT(options, Not(HasSubstr("smackfsroot")));
    EXPECT_TRUE(is_mounted(content()));
    // No base root file system: no overlay.
    EXPECT_FALSE(is_mounted(content() + "/rootfs"));

    const Child_result stopped = stop_container(name);
    ASSERT_EQ(stopped.status, 0) << stopped.output << stopped.error;
    EXPECT_THAT(stopped.output, HasSubstr("STOPPING_ADAPTIVE_CONT_" + name));
    EXPECT_THAT(stopped.output, HasSubstr("container shutdown finished"));
    EXPECT_THAT(stopped.output, Not(HasSubstr("ERROR")));
    EXPECT_THAT(leftovers(name), IsEmpty());
    // runc did not know it: no deletion was asked for.
    EXPECT_THAT(runc_calls(), ElementsAre("state " + name + " cwd=/"));

    // The partition stays and a second start uses it without formatting.
    ASSERT_TRUE(fs::exists(data_image()));
    const Child_result again = start_container(name);
    ASSERT_EQ(again.status, 0) << again.output << again.error;
    EXPECT_THAT(again.output, HasSubstr("container data partition image exists: " + data_image()));
    EXPECT_THAT(again.output, Not(HasSubstr("format data partition image")));
    EXPECT_TRUE(is_mounted(data_mnt()));
    ASSERT_EQ(stop_container(name).status, 0);
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, HandsOverToRuncWithOwnerAndRules) {
    build_image(name, {{"meta.sh", {"DATASIZEMB=16", 0644}},
                       {"config.json", {runtime_config, 0644}},
                       {"smack-rules", {"System Base rwx\n", 0644}}});
    const Child_result started = start_container(name, {}, true);
    ASSERT_EQ(started.status, 0) << started.output << started.error;
    EXPECT_THAT(started.output, HasSubstr("setting ext4 ownership options to: -Eroot_owner=1000:100\n"));
    EXPECT_THAT(started.output, HasSubstr("SMACK_LOAD_ADAPTIVE_CONT_" + name));
    EXPECT_THAT(started.output, HasSubstr("STARTRUNC_ADAPTIVE_CONT_" + name));
    // The container name comes before "--detach"; runc runs in the content directory.
    EXPECT_THAT(runc_calls(),
                ElementsAre("run " + name + " --detach cwd=" + content(), "config.json present"));
    EXPECT_THAT(smackload_calls(), ElementsAre(content() + "/smack-rules"));
    struct stat root {};
    ASSERT_EQ(::stat(data_mnt().c_str(), &root), 0);
    EXPECT_EQ(root.st_uid, 1000u);
    EXPECT_EQ(root.st_gid, 100u);

    // Without "-d" runc gets no "--detach".
    ASSERT_EQ(stop_container(name, {}, true).status, 0);
    reset_fakes();
    const Child_result foreground = start_container(name);
    ASSERT_EQ(foreground.status, 0) << foreground.output << foreground.error;
    EXPECT_THAT(runc_calls(), ElementsAre("run " + name + " cwd=" + content(), "config.json present"));
}

TEST_F(Lifecycle, DetachedStopKillsDeletesAndUnloads) {
    build_image(name, {{"meta.sh", {"DATASIZEMB=8", 0644}},
                       {"config.json", {runtime_config, 0644}},
                       {"smack-rules", {"System Base rwx\n", 0644}},
                       {"post-stop.sh", {"#!/bin/sh\npwd > /run/post-stop.cwd\n", 0755}}});
    ASSERT_EQ(start_container(name, {}, true).status, 0);
    reset_fakes();
    write_text("/run/fake-runc/" + name + ".status", "running");

    // Not detached while runc runs it: refused, nothing touched.
    const Child_result refused = stop_container(name);
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.output, HasSubstr("container " + name + " still running, can't shutdown"));
    EXPECT_THAT(refused.error, MatchesRegex("Assertion `status == Container_status::DELETED \\|\\| "
                                            "status == Container_status::STOPPED` failed at container.cpp:[0-9]+\n"));
    EXPECT_TRUE(is_mounted(data_mnt()));
    EXPECT_THAT(smackload_calls(), IsEmpty());

    reset_fakes();
    write_text("/run/fake-runc/" + name + ".status", "running");
    const Child_result stopped = stop_container(name, {}, true);
    ASSERT_EQ(stopped.status, 0) << stopped.output << stopped.error;
    const std::vector<std::string> calls = runc_calls();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0], "state " + name + " cwd=/");
    EXPECT_EQ(calls[1], "kill --all " + name + " KILL cwd=/");
    EXPECT_EQ(calls[2], "state " + name + " cwd=/");
    EXPECT_THAT(calls, ::testing::Contains("delete --force " + name + " cwd=/"));
    EXPECT_EQ(calls.back(), "state " + name + " cwd=/");
    EXPECT_THAT(smackload_calls(), ElementsAre("-c " + content() + "/smack-rules"));
    EXPECT_THAT(stopped.output, HasSubstr("SMACK_UNLOAD_ADAPTIVE_CONT_" + name));
    EXPECT_EQ(read_text("/run/post-stop.cwd"), "/containers/target/" + name + "\n");
    EXPECT_THAT(leftovers(name), IsEmpty());

    // A second stop finds nothing to do and still succeeds.
    const Child_result repeated = stop_container(name, {}, true);
    EXPECT_EQ(repeated.status, 0) << repeated.output << repeated.error;
}

TEST_F(Lifecycle, RuncThatIgnoresKillAndDelete) {
    build_image(name, {{"config.json", {runtime_config, 0644}}});
    ASSERT_EQ(start_container(name, {}, true).status, 0);
    write_text("/run/fake-runc/kill.ignored", "");
    write_text("/run/fake-runc/kill.exit", "1");
    write_text("/run/fake-runc/delete.ignored", "");
    const Child_result stopped = stop_container(name, {}, true);
    EXPECT_EQ(stopped.status, 1);
    EXPECT_THAT(stopped.output, HasSubstr("unexpected runc return code: 1\n"));
    EXPECT_THAT(stopped.output, HasSubstr("runc container is still running after timeout"));
    EXPECT_THAT(stopped.output, HasSubstr("container deletion " + name + " failed"));
    EXPECT_THAT(stopped.error, HasSubstr("Assertion `status == Container_status::DELETED` failed at container.cpp:"));
    // About ten polls, one a second.
    const std::size_t polls = count_of(read_text("/run/fake-runc/calls"), "state " + name);
    EXPECT_GE(polls, 11u);
    EXPECT_LE(polls, 14u);
    // No teardown after a failed deletion.
    EXPECT_TRUE(is_mounted(content()));
}

TEST_F(Lifecycle, StopOfAMissingImageTouchesNothing) {
    const Child_result stopped = stop_container("no-such-box");
    EXPECT_EQ(stopped.status, 1);
    EXPECT_THAT(stopped.output,
                HasSubstr("container does not exist, no such file: "
                          "/containers/target/no-such-box/no-such-box.rootfs.squashfs-xz-dmverity"));
    EXPECT_THAT(stopped.error, HasSubstr("Assertion `m_fs->exists(m_container.c_str())` failed at container.cpp:"));
    EXPECT_THAT(runc_calls(), IsEmpty());
    const Child_result started = start_container("no-such-box");
    EXPECT_EQ(started.status, 1);
    EXPECT_THAT(started.output, HasSubstr("container does not exist, no such file: "));
}

TEST_F(Lifecycle, MetaShVariants) {
    struct Case {
        std::string meta;
        bool partition;
    };
    const std::vector<Case> cases = {
        {" DATASIZEMB=8\n", false},
        {"DATASIZEMB=0\n", false},
        {"OTHER=1\nNODATASIZE\n", false},
        {"DATASIZEMB=18446744073709551615\n", false},  // negative as a signed number
        {"A=1\nDATASIZEMB=  8 MiB\nDATASIZEMB=16\n", true},
        {std::string(1100, '#') + "\nDATASIZEMB=8\n", false},  // beyond the first 1023 bytes
    };
    for (const Case& c : cases) {
        build_image(name, {{"meta.sh", {c.meta, 0644}}});
        const Child_result started = start_container(name);
        EXPECT_EQ(started.status, 0) << c.meta << started.output << started.error;
        EXPECT_EQ(is_mounted(data_mnt()), c.partition) << c.meta;
        if (c.partition) {
            EXPECT_EQ(fs::file_size(data_image()), 8u << 20);
        }
        ASSERT_EQ(stop_container(name).status, 0);
        EXPECT_THAT(leftovers(name), IsEmpty());
        fs::remove(data_image());
    }

    build_image(name, {{"meta.sh", {"DATASIZEMB=lots\n", 0644}}});
    Child_result bad = start_container(name);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.error, "stoull\n");
    EXPECT_THAT(leftovers(name), IsEmpty());

    // So large that the byte count would overflow a file offset.
    build_image(name, {{"meta.sh", {"DATASIZEMB=8796093022208\n", 0644}}});
    bad = start_container(name);
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.output, HasSubstr("container data partition size too large: 8796093022208"));
    EXPECT_THAT(bad.error, HasSubstr("Assertion `size_mb <= max_data_size_mb` failed at container.cpp:"));
    EXPECT_FALSE(fs::exists("/data/containerdata/." + name + ".tmp"));
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, Scripts) {
    build_image(name, {{"pre-start.sh", {"#!/bin/sh\npwd > /run/pre-start.cwd\nexit 3\n", 0755}}});
    Child_result started = start_container(name);
    ASSERT_EQ(started.status, 0) << started.output << started.error;
    EXPECT_EQ(read_text("/run/pre-start.cwd"), "/containers/target/" + name + "\n");
    EXPECT_THAT(started.output, HasSubstr("unexpected script return code: 3\n"));
    ASSERT_EQ(stop_container(name).status, 0);

    fs::remove("/run/pre-start.cwd");
    build_image(name, {{"pre-start.sh", {"#!/bin/sh\npwd > /run/pre-start.cwd\n", 0644}}});
    started = start_container(name);
    ASSERT_EQ(started.status, 0);
    EXPECT_THAT(started.output, HasSubstr("run script failed, not executable: " + content() + "/pre-start.sh"));
    EXPECT_FALSE(fs::exists("/run/pre-start.cwd"));
    const Child_result stopped = stop_container(name);
    ASSERT_EQ(stopped.status, 0);
    EXPECT_THAT(stopped.output, HasSubstr("run script failed, no such file: " + content() + "/post-stop.sh"));
}

TEST_F(Lifecycle, BindMountsRelativeAndAbsolute) {
    build_image(name, {{"share/", {"", 0}}, {"share/file", {"from share", 0644}},
                       {"rootfs/etc/", {"", 0}}, {"rootfs/etc/name", {"from etc", 0644}}});
    fs::create_directories("/tmp/bind-a");
    fs::create_directories("/tmp/bind-b");
    const Child_result started = start_container(
        name, {{"/tmp/bind-a", "share"}, {"/tmp/bind-b", content() + "/rootfs/etc"}});
    ASSERT_EQ(started.status, 0) << started.output << started.error;
    EXPECT_THAT(started.output, HasSubstr("bind mount " + content() + "/share to /tmp/bind-a\n"));
    EXPECT_EQ(read_text("/tmp/bind-a/file"), "from share");
    EXPECT_EQ(read_text("/tmp/bind-b/name"), "from etc");

    // Named with "--umount", they go without complaint.
    const Child_result stopped = stop_container(name, {{"/tmp/bind-a", ""}, {"/tmp/bind-b", ""}});
    ASSERT_EQ(stopped.status, 0) << stopped.output << stopped.error;
    EXPECT_THAT(stopped.output, HasSubstr("umount /tmp/bind-a\n"));
    EXPECT_THAT(stopped.output, Not(HasSubstr("bad container")));
    EXPECT_THAT(leftovers(name, {"/tmp/bind-a", "/tmp/bind-b"}), IsEmpty());
}

TEST_F(Lifecycle, StrayMountsAreSwept) {
    build_image(name, {{"share/", {"", 0}}, {"rootfs/mnt/", {"", 0}}, {"meta.sh", {"DATASIZEMB=8", 0644}}});
    fs::create_directories("/tmp/stray");
    fs::create_directories("/tmp/stray-data");
    ASSERT_EQ(start_container(name, {{"/tmp/stray", "share"}}).status, 0);
    // A mount below the content directory and a bind of the data partition elsewhere.
    run_shell("mount -t tmpfs below " + content() + "/rootfs/mnt");
    run_shell("mount --bind " + data_mnt() + " /tmp/stray-data");

    const Child_result stopped = stop_container(name);
    ASSERT_EQ(stopped.status, 0) << stopped.output << stopped.error;
    EXPECT_THAT(stopped.output, HasSubstr("bad container: /tmp/stray still exposes container files, use --umount"));
    EXPECT_THAT(stopped.output, HasSubstr("bad container: /tmp/stray-data still exposes container files, use --umount"));
    EXPECT_THAT(stopped.output, HasSubstr("bad container: " + content() +
                                          "/rootfs/mnt exists outside of container mount namespace"));
    EXPECT_THAT(stopped.output, Not(HasSubstr("giving up")));
    EXPECT_THAT(leftovers(name, {"/tmp/stray", "/tmp/stray-data"}), IsEmpty());
}

TEST_F(Lifecycle, StrayMountThatStaysBusy) {
    build_image(name, {{"share/", {"", 0}}});
    fs::create_directories("/tmp/busy");
    ASSERT_EQ(start_container(name, {{"/tmp/busy", "share"}}).status, 0);
    const pid_t holder = spawn_in("/tmp/busy", "exec sleep 100");
    const Child_result stopped = stop_container(name);
    EXPECT_THAT(stopped.output, HasSubstr("failed to umount /tmp/busy\n"));
    EXPECT_THAT(stopped.output, HasSubstr("giving up with 1 remaining mounts since not making any progress"));
    // The stray mount keeps the image busy, so it cannot be released.
    EXPECT_EQ(stopped.status, 1);
    EXPECT_THAT(stopped.output, HasSubstr("failed to release container rootfs image"));
    EXPECT_THAT(stopped.error, HasSubstr("Assertion `remove_verity_device(uses_rootfs_overlay)` failed at container.cpp:"));
    kill_process(holder);
    // Once the holder has gone, a repeated stop that names the mount finishes the job.
    const Child_result again = stop_container(name, {{"/tmp/busy", ""}});
    EXPECT_EQ(again.status, 0) << again.output << again.error;
    EXPECT_THAT(leftovers(name, {"/tmp/busy"}), IsEmpty());
}

TEST_F(Lifecycle, OverlayOnTheBaseRootfs) {
    build_image(name, {{"rootfs/own", {"container", 0644}}});
    write_text("/run/base-rootfs/rootfs/base-only", "base");
    const Child_result started = start_container(name);
    ASSERT_EQ(started.status, 0) << started.output << started.error;
    EXPECT_EQ(read_text(content() + "/rootfs/base-only"), "base");
    EXPECT_EQ(read_text(content() + "/rootfs/own"), "container");
    const Child_result stopped = stop_container(name);
    fs::remove_all("/run/base-rootfs");
    ASSERT_EQ(stopped.status, 0) << stopped.output << stopped.error;
    EXPECT_THAT(stopped.output, Not(HasSubstr("ERROR")));
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, DataPartitionThatStaysBusyStopsTheStop) {
    build_image(name, {{"meta.sh", {"DATASIZEMB=8", 0644}}});
    ASSERT_EQ(start_container(name).status, 0);
    const pid_t holder = spawn_in(data_mnt(), "exec sleep 100");
    const Child_result stopped = stop_container(name);
    EXPECT_EQ(stopped.status, 1);
    EXPECT_THAT(stopped.output, HasSubstr("failed to umount container data image"));
    EXPECT_THAT(stopped.error, HasSubstr("Assertion `m_sys->umount(m_data_mnt, true)` failed at container.cpp:"));
    EXPECT_TRUE(is_mounted(content()));
    kill_process(holder);
    EXPECT_EQ(stop_container(name).status, 0);
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, StopWaitsForAProcessToLeave) {
    build_image(name, {{"rootfs/", {"", 0}}, {"smack-rules", {"x y r\n", 0644}}});
    ASSERT_EQ(start_container(name).status, 0);
    write_text("/run/fake-runc/" + name + ".status", "stopped");
    // A sibling whose name starts with the content directory's is no reason to wait.
    fs::create_directories(content() + "-old");
    const pid_t sibling = spawn_in(content() + "-old", "exec sleep 100");
    const pid_t leaving = spawn_in(content() + "/rootfs", "sleep 2; cd /; exec sleep 100");
    const Child_result stopped = stop_container(name);
    kill_process(leaving);
    kill_process(sibling);
    ASSERT_EQ(stopped.status, 0) << stopped.output << stopped.error;
    EXPECT_EQ(count_of(stopped.output, "waiting for pid " + std::to_string(leaving) +
                                            " to leave the container directory"),
              1u);
    EXPECT_THAT(stopped.output, Not(HasSubstr("waiting for pid " + std::to_string(sibling))));
    EXPECT_THAT(runc_calls(), ::testing::Contains("delete --force " + name + " cwd=/proc"));
    EXPECT_THAT(smackload_calls(), ElementsAre(content() + "/smack-rules", "-c " + content() + "/smack-rules"));
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, StopGivesUpOnProcessesThatStay) {
    build_image(name, {{"rootfs/", {"", 0}}});
    ASSERT_EQ(start_container(name).status, 0);
    write_text("/run/fake-runc/" + name + ".status", "stopped");
    const pid_t first = spawn_in(content(), "exec sleep 100");
    const pid_t second = spawn_in(content() + "/rootfs", "exec sleep 100");
    const Child_result stopped = stop_container(name);
    EXPECT_EQ(stopped.status, 1);
    EXPECT_THAT(stopped.output, HasSubstr("timeout waiting for " + std::to_string(first) + "\n"));
    EXPECT_THAT(stopped.output, HasSubstr("pid " + std::to_string(second) +
                                          " as well still blocks the container directory"));
    EXPECT_THAT(stopped.output, HasSubstr("attempting to continue would fail"));
    EXPECT_EQ(stopped.error.rfind("Assertion `!timeout` failed at container.cpp:", 0), 0u) << stopped.error;
    // Neither deleted from runc nor torn down.
    EXPECT_THAT(runc_calls(), Not(::testing::Contains(HasSubstr("delete"))));
    EXPECT_TRUE(is_mounted(content()));
    kill_process(first);
    kill_process(second);
    const Child_result again = stop_container(name);
    EXPECT_EQ(again.status, 0) << again.output << again.error;
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, UnloadProblemsFailTheStopOnlyAfterEveryStep) {
    build_image(name, {{"smack-rules", {"a b r\n", 0644}}});
    ASSERT_EQ(start_container(name).status, 0);
    write_text("/run/fake-smackload/unload.exit", "1");
    const Child_result stopped = stop_container(name, {{"/tmp/never-mounted", ""}});
    // Rules left in the kernel make the stop a failure, after the teardown.
    EXPECT_EQ(stopped.status, 1) << stopped.output << stopped.error;
    EXPECT_THAT(stopped.error, HasSubstr("Assertion `rules_unloaded` failed at container.cpp:"));
    EXPECT_THAT(stopped.output, MatchesRegex("(.|\n)*ERROR \\([^)]*container.cpp:[0-9]+\\) " + name +
                                             " unloading smack rules failed: [0-9]+\n(.|\n)*"));
    EXPECT_THAT(stopped.output, HasSubstr("umount /tmp/never-mounted\n"));
    EXPECT_THAT(stopped.output, HasSubstr("mnt_context_find_umount_fs(/tmp/never-mounted) returned 1"));
    EXPECT_THAT(stopped.output, HasSubstr("stopped, but its smack rules are still loaded"));
    EXPECT_THAT(leftovers(name), IsEmpty());
}

TEST_F(Lifecycle, MetaShThatCannotBeOpened) {
    // A socket exists but cannot be opened as a file.
    build_image(name, {{"meta.sh", {"", 0644}}});
    run_shell("rm -f /run/meta.sock && python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('/run/meta.sock')\"");
    const std::string stage = "/tmp/stage-link-" + name;
    fs::remove_all(stage);
    fs::create_directories(stage);
    fs::create_symlink("/run/meta.sock", stage + "/meta.sh");
    run_shell("mksquashfs " + stage + " " + image_file() + " -noappend -quiet -no-progress >/dev/null");
    fs::remove_all(stage);

    const Child_result started = start_container(name);
    EXPECT_EQ(started.status, 1);
    EXPECT_THAT(started.output, HasSubstr("open container config failed: 6\n"));
    EXPECT_THAT(started.error, HasSubstr("Assertion `config_file != nullptr` failed at container.cpp:"));
    EXPECT_THAT(leftovers(name), IsEmpty());
    EXPECT_EQ(stop_container(name).status, 0);
}

}  // namespace
}  // namespace ql::test
