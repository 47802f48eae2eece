// Fault injection over a whole container start: each step fails in turn, and
// afterwards no mount or loop device of the container is left, the SMACK
// rules are unloaded exactly when they were loaded, and "stop" finishes
// cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kernel_support.h"

namespace ql::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct Fault {
    std::string step;
    std::function<void(const std::string& name)> inject;
    std::function<void(const std::string& name)> clear;
    std::string expected_output;  // part of the log of the failed start
    std::string expected_error;   // part of the exception text
    bool rules_loaded;            // the rules are unloaded (also after a refused load:
                                  // the loader may have taken the lines before)
    std::string extra_path;       // put in front of PATH for the start
};

const std::string bind_target_1 = "/tmp/fault-bind-1";
const std::string bind_target_2 = "/tmp/fault-bind-2";

void nothing(const std::string&) {}

std::vector<Fault> faults() {
    return {
        {"image", [](const std::string&) { Squashfs_container::fail_image = true; },
         [](const std::string&) { Squashfs_container::fail_image = false; }, "", "image refused", false, ""},
        {"data partition creation",
         [](const std::string&) { run_shell("mount -o bind,ro /data/containerdata /data/containerdata"); },
         [](const std::string&) { run_shell("umount /data/containerdata"); },
         "open data image failed: 30", "Assertion `data_file != nullptr` failed at container.cpp:", false, ""},
        {"format", nothing, nothing, "unexpected data image format return code: 1",
         "Assertion `mkfs_ret == 0` failed at container.cpp:", false, "/opt/failing-mkfs"},
        {"rename", nothing, nothing, "unexpected data image rename return code: -1",
         "Assertion `mv_ret == 0` failed at container.cpp:", false, "/opt/blocking-mkfs"},
        {"data partition mount",
         [](const std::string& name) { write_text("/data/containerdata/" + name, std::string(4 << 20, 'x')); },
         [](const std::string& name) { fs::remove("/data/containerdata/" + name); }, "mount failed: ",
         "Assertion `mount_success` failed at system.cpp:", false, ""},
        {"smack load", [](const std::string&) { write_text("/run/fake-smackload/load.exit", "1"); }, nothing,
         " loading smack rules failed: ", "Assertion `m_sys->command(argv, nullptr) == 0` failed at container.cpp:",
         true, ""},
        {"first bind mount", [](const std::string&) { fs::remove(bind_target_1); }, nothing,
         "bind mount target " + bind_target_1 + " refused: 2", "Assertion `target_fd` failed at container.cpp:", true, ""},
        {"second bind mount", [](const std::string&) { run_shell("mount -t tmpfs taken " + bind_target_2); },
         [](const std::string&) { run_shell("umount " + bind_target_2); }, "target path is already mounted",
         "Assertion `mount_success` failed at system.cpp:", true, ""},
        {"hand-over", nothing, nothing, "execute runc failed: 2",
         "Assertion `m_sys->execvp(runc_run_argv[0], runc_run_argv) > 0` failed at container.cpp:", true,
         "/opt/no-runc"},
    };
}

TEST(Start_faults, EveryStepFailingLeavesNothingBehind) {
    // A PATH for the format fault with a failing mkfs.ext4, and one for the
    // hand-over fault that has mkfs.ext4 but no runc.
    write_text("/opt/failing-mkfs/mkfs.ext4", "#!/bin/sh\nexit 1\n", 0755);
    fs::create_directories("/opt/no-runc");
    fs::create_symlink("/usr/sbin/mkfs.ext4", "/opt/no-runc/mkfs.ext4");
    // Formats, then puts a non-empty directory where the image is to be renamed to.
    write_text("/opt/blocking-mkfs/mkfs.ext4",
               "#!/bin/sh\n/usr/sbin/mkfs.ext4 \"$@\" || exit 1\n"
               "name=${1##*/}\nname=${name#.}\nimage=${1%/*}/${name%.tmp}\nmkdir -p \"$image/blocker\"\n", 0755);

    int index = 0;
    for (const Fault& fault : faults()) {
        SCOPED_TRACE(fault.step);
        const std::string name = "fault" + std::to_string(index++);
        reset_fakes();
        build_image(name, {{"meta.sh", {"DATASIZEMB=8\n", 0644}},
                           {"config.json", {R"({"process":{"user":{"uid":0,"gid":0}}})", 0644}},
                           {"smack-rules", {"System Base r\n", 0644}},
                           {"one/", {"", 0}},
                           {"two/", {"", 0}}});
        fs::create_directories(bind_target_1);
        fs::create_directories(bind_target_2);
        // The path the test runs with: the fake runc first, which the hand-over
        // fault removes by running without it.
        const std::vector<Mount_request> binds = {{bind_target_1, "one"}, {bind_target_2, "two"}};

        fault.inject(name);
        std::string path_prefix = fault.extra_path;
        Child_result started;
        if (fault.step == "hand-over") {
            started = in_child(
                [&] {
                    ::setenv("PATH", "/opt/no-runc", 1);
                    Squashfs_container container(name, binds, true, false);
                    container.start(nullptr);
                });
        } else {
            started = start_container(name, binds, true, path_prefix);
        }
        fault.clear(name);

        EXPECT_EQ(started.status, 1) << started.output << started.error;
        EXPECT_THAT(started.output, HasSubstr(fault.expected_output));
        EXPECT_THAT(started.error, HasSubstr(fault.expected_error));
        EXPECT_THAT(leftovers(name, {bind_target_1, bind_target_2}), IsEmpty()) << started.output;
        // A formatted image under the temporary name is left only when the rename failed.
        EXPECT_EQ(fs::exists("/data/containerdata/." + name + ".tmp"), fault.step == "rename");
        const std::vector<std::string> smack = smackload_calls();
        const bool unloaded = std::find(smack.begin(), smack.end(),
                                        "-c /run/containers/" + name + "/content/smack-rules") != smack.end();
        EXPECT_EQ(unloaded, fault.rules_loaded) << started.output;
        // The rollback unmounts bind mounts last made first.
        if (fault.step == "hand-over") {
            const auto second = started.output.find("umount " + bind_target_2);
            const auto first = started.output.find("umount " + bind_target_1);
            EXPECT_NE(second, std::string::npos);
            EXPECT_LT(second, first);
        }
        EXPECT_THAT(runc_calls(), IsEmpty());

        const Child_result stopped = stop_container(name, {{bind_target_1, ""}, {bind_target_2, ""}});
        EXPECT_EQ(stopped.status, 0) << stopped.output << stopped.error;
        EXPECT_THAT(leftovers(name, {bind_target_1, bind_target_2}), IsEmpty());
        fs::remove_all("/data/containerdata/" + name);
        fs::remove("/data/containerdata/." + name + ".tmp");
    }
}

TEST(Start_faults, UmountEntryInAStartIsRefusedAndRolledBack) {
    reset_fakes();
    build_image("umount-entry", {{"meta.sh", {"DATASIZEMB=8\n", 0644}}, {"one/", {"", 0}}});
    fs::create_directories(bind_target_1);
    const Child_result started =
        start_container("umount-entry", {{bind_target_1, "one"}, {"/tmp/elsewhere", ""}});
    EXPECT_EQ(started.status, 1);
    EXPECT_THAT(started.error, HasSubstr("basic_string"));
    EXPECT_THAT(started.output, HasSubstr("umount " + bind_target_1));
    EXPECT_THAT(leftovers("umount-entry", {bind_target_1}), IsEmpty());
    fs::remove("/data/containerdata/umount-entry");
}

TEST(Start_faults, BindTargetAlreadyMountedUndoesEarlierBindsInReverse) {
    reset_fakes();
    build_image("taken", {{"a/", {"", 0}}, {"b/", {"", 0}}, {"c/", {"", 0}}});
    for (const char* target : {"/tmp/taken-a", "/tmp/taken-b", "/tmp/taken-c"}) {
        fs::create_directories(target);
    }
    run_shell("mount -t tmpfs taken /tmp/taken-c");
    const Child_result started = start_container(
        "taken", {{"/tmp/taken-a", "a"}, {"/tmp/taken-b", "b"}, {"/tmp/taken-c", "c"}});
    run_shell("umount /tmp/taken-c");
    EXPECT_EQ(started.status, 1);
    EXPECT_THAT(started.output, HasSubstr("target path is already mounted"));
    const auto b = started.output.find("INFO");  // any INFO line exists
    EXPECT_NE(b, std::string::npos);
    const auto umount_b = started.output.find("umount /tmp/taken-b\n");
    const auto umount_a = started.output.find("umount /tmp/taken-a\n");
    ASSERT_NE(umount_b, std::string::npos);
    ASSERT_NE(umount_a, std::string::npos);
    EXPECT_LT(umount_b, umount_a);
    EXPECT_THAT(leftovers("taken", {"/tmp/taken-a", "/tmp/taken-b", "/tmp/taken-c"}), IsEmpty());
}

}  // namespace
}  // namespace ql::test
