// The pure parts of the container code: runc's state output, the OCI process
// user, SMACK labels, "meta.sh" lines and the working-directory rule.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/container/config.h"
#include "controller/container/meta_config.h"
#include "controller/container/process_scan.h"
#include "controller/container/smack_label.h"
#include "controller/container/status_getter.h"
#include "controller/system/filesystem.h"

namespace ql {
namespace {

namespace fs = std::filesystem;

std::string status_of(const std::string& text) { return runc_state_status(text); }

TEST(Status_getter, TakesOnlyTheTopLevelStatusString) {
    EXPECT_EQ(status_of(R"({"ociVersion":"1.0.2","id":"c","pid":42,"status":"running",)"
                        R"("bundle":"/x","created":"2024-01-01T00:00:00Z","owner":""})"),
              "running");
    EXPECT_EQ(status_of(R"({"status":"stopped"})"), "stopped");
    // Nested "status" members and strings inside nested values never count.
    EXPECT_EQ(status_of(R"({"annotations":{"status":"running"},"id":"c"})"), "");
    EXPECT_EQ(status_of(R"({"a":[{"status":"x"}],"b":{"c":{"status":"y"}}})"), "");
    // A status whose value is an object or array is not taken, nor is the next string.
    EXPECT_EQ(status_of(R"({"status":{"x":"running"},"id":"c"})"), "");
    EXPECT_EQ(status_of(R"({"status":["running"],"id":"c"})"), "");
    // A key of a different length that starts with "status".
    EXPECT_EQ(status_of(R"({"statuses":"running","stat":"x"})"), "");
    // Numbers (as text), booleans and null between the key and its value are ignored.
    EXPECT_EQ(status_of(R"({"pid":12345678901234567890123,"ok":true,"no":null,"status":"paused"})"),
              "paused");
}

TEST(Status_getter, ToleratesBrokenAndTrailingText) {
    EXPECT_EQ(status_of("container state: running"), "");
    EXPECT_EQ(status_of(""), "");
    EXPECT_EQ(status_of(R"(["status","running"])"), "");
    // Text after a complete document does not undo what was taken.
    EXPECT_EQ(status_of(R"({"status":"created"} trailing words)"), "created");
    // A later top-level status replaces an earlier one.
    EXPECT_EQ(status_of(R"({"status":"created","status":"running"})"), "running");
    // Taken before the document broke off.
    EXPECT_EQ(status_of(R"({"status":"running","id":)"), "running");
}

class Config_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ql_config_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& text) {
        const std::string path = dir + "/config.json";
        std::ofstream(path) << text;
        return path;
    }

    Filesystem filesystem;
    std::string dir;
};

TEST_F(Config_test, ReadsUidAndGid) {
    Config<Filesystem> config(&filesystem);
    ASSERT_TRUE(config.read_process_user(
        write(R"({"ociVersion":"1.0.0","process":{"user":{"uid":1000,"gid":100},"args":["sh"]}})")));
    EXPECT_EQ(config.uid, 1000);
    EXPECT_EQ(config.gid, 100);

    Config<Filesystem> root(&filesystem);
    ASSERT_TRUE(root.read_process_user(write(R"({"process":{"user":{"gid":0,"uid":0}}})")));
    EXPECT_EQ(root.uid, 0);
    EXPECT_EQ(root.gid, 0);
}

TEST_F(Config_test, EveryProblemIsAFalseResultAndLeavesTheIds) {
    const std::vector<std::string> bad = {
        R"({"process":{"user":{"uid":1000}}})",
        R"({"process":{"user":{"gid":1000}}})",
        R"({"process":{"user":"root"}})",
        R"({"process":[]})",
        R"({"user":{"uid":1,"gid":1}})",
        R"([{"process":{"user":{"uid":1,"gid":1}}}])",
        R"({"process":{"user":{"uid":1,"gid":1}})",  // cut short
        "not json at all",
        "",
        // Ids that are not 32-bit signed integers must not abort inside the parser.
        R"({"process":{"user":{"uid":"1000","gid":100}}})",
        R"({"process":{"user":{"uid":1000,"gid":1.5}}})",
        R"({"process":{"user":{"uid":4294967296,"gid":100}}})",
        R"({"process":{"user":{"uid":2147483648,"gid":100}}})",
        R"({"process":{"user":{"uid":-2147483649,"gid":100}}})",
        R"({"process":{"user":{"uid":null,"gid":100}}})",
        R"({"process":{"user":{"uid":true,"gid":100}}})",
    };
    for (const std::string& text : bad) {
        Config<Filesystem> config(&filesystem);
        EXPECT_FALSE(config.read_process_user(write(text))) << text;
        EXPECT_EQ(config.uid, -1) << text;
        EXPECT_EQ(config.gid, -1) << text;
    }
    Config<Filesystem> missing(&filesystem);
    EXPECT_FALSE(missing.read_process_user(dir + "/none.json"));
    Config<Filesystem> no_layer(nullptr);
    EXPECT_FALSE(no_layer.read_process_user(write(R"({"process":{"user":{"uid":1,"gid":2}}})")));
}

TEST_F(Config_test, NegativeIdsAreReadAsTheyStand) {
    Config<Filesystem> config(&filesystem);
    ASSERT_TRUE(config.read_process_user(write(R"({"process":{"user":{"uid":-5,"gid":-2147483648}}})")));
    EXPECT_EQ(config.uid, -5);
    EXPECT_EQ(config.gid, -2147483647 - 1);
}

TEST(Smack_label, AcceptanceRule) {
    for (const char* good : {"_", "*", "^", "ab", "System", "a-b", "a-", "A_9", "__", "User-1_x"}) {
        EXPECT_TRUE(is_acceptable_smack_label(good)) << good;
    }
    for (const char* bad : {"a", "Z", "0", "-", "-a", "--", "a b", "a\n", "unconfined\n", "a*", "**",
                            "^^", "a.b", "a/b", "\xc3\xa4x", ""}) {
        EXPECT_FALSE(is_acceptable_smack_label(bad)) << bad;
    }
    EXPECT_TRUE(is_acceptable_smack_label(std::string(255, 'x')));
    EXPECT_FALSE(is_acceptable_smack_label(std::string(256, 'x')));
    EXPECT_FALSE(is_acceptable_smack_label("-" + std::string(254, 'x')));
}

class Smack_files : public Config_test {};

TEST_F(Smack_files, ReadsUpToTheFirstNulAndFlagsAFullBuffer) {
    EXPECT_EQ(read_smack_label(dir + "/missing").label, "");
    EXPECT_FALSE(read_smack_label(dir + "/missing").too_long);
    EXPECT_EQ(read_smack_label(write("")).label, "");
    EXPECT_EQ(read_smack_label(write(std::string("System\0junk", 11))).label, "System");
    EXPECT_EQ(read_smack_label(write("System\n")).label, "System\n");
    const Smack_label_read max = read_smack_label(write(std::string(255, 'a')));
    EXPECT_EQ(max.label, std::string(255, 'a'));
    EXPECT_FALSE(max.too_long);
    const Smack_label_read over = read_smack_label(write(std::string(256, 'a')));
    EXPECT_TRUE(over.too_long);
    EXPECT_EQ(over.label, "");
    EXPECT_TRUE(read_smack_label(write(std::string(4000, 'a'))).too_long);
}

TEST_F(Smack_files, ActiveModuleDecision) {
    Smack_interfaces interfaces;
    interfaces.lsm_list = dir + "/lsm";
    interfaces.smackfs_dir = dir + "/smackfs";
    interfaces.smack_attr_dir = dir + "/smack";
    interfaces.current = dir + "/current";

    // No sign of SMACK anywhere, whatever "current" holds (AppArmor's context here).
    std::ofstream(interfaces.current) << "unconfined\n";
    EXPECT_FALSE(smack_is_active(interfaces));

    std::ofstream(interfaces.lsm_list) << "lockdown,capability,landlock,yama,apparmor";
    EXPECT_FALSE(smack_is_active(interfaces));
    std::ofstream(interfaces.lsm_list) << "capability,smack";
    EXPECT_TRUE(smack_is_active(interfaces));
    std::ofstream(interfaces.lsm_list) << "capability,smackish,yama\n";
    EXPECT_FALSE(smack_is_active(interfaces));
    std::ofstream(interfaces.lsm_list) << "smack\n";
    EXPECT_TRUE(smack_is_active(interfaces));
    fs::remove(interfaces.lsm_list);

    // Without the module list, SMACK's sysfs mount point tells ...
    fs::create_directory(interfaces.smackfs_dir);
    EXPECT_TRUE(smack_is_active(interfaces));
    // ... and so does the module's own attribute.
    fs::remove(interfaces.smackfs_dir);
    fs::create_directory(interfaces.smack_attr_dir);
    EXPECT_FALSE(smack_is_active(interfaces));  // no readable attribute
    std::ofstream(interfaces.smack_attr_dir + "/current") << "";
    EXPECT_FALSE(smack_is_active(interfaces));
    std::ofstream(interfaces.smack_attr_dir + "/current") << "System";
    EXPECT_TRUE(smack_is_active(interfaces));
}

TEST(Meta_lines, SplitsAtTheFirstEqualsWithoutTrimming) {
    const auto lines = split_meta_lines("A=1\n DATASIZEMB=5\nDATASIZEMB= 64 MB\nNOEQUALS\nX=a=b\n\nDATASIZEMB=7");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].key, "A");
    EXPECT_EQ(lines[0].value, "1");
    EXPECT_EQ(lines[1].key, " DATASIZEMB");
    EXPECT_EQ(lines[2].key, "DATASIZEMB");
    EXPECT_EQ(lines[2].value, " 64 MB");
    EXPECT_EQ(lines[3].key, "NOEQUALS");
    EXPECT_EQ(lines[3].value, "NOEQUALS");
    EXPECT_EQ(lines[4].key, "X");
    EXPECT_EQ(lines[4].value, "a=b");
    EXPECT_EQ(lines[5].text, "");
    EXPECT_EQ(lines[6].value, "7");
    EXPECT_TRUE(split_meta_lines("").empty());
    // The largest accepted size still gives a byte count that fits a file offset.
    EXPECT_LE(max_data_size_mb << 20, 0x7FFFFFFFFFFFFFFFULL);
    EXPECT_GT((max_data_size_mb + 1) << 20 >> 20, 0u);
    EXPECT_GT((max_data_size_mb + 1) << 20, 0x7FFFFFFFFFFFFFFFULL);
}

TEST(Meta_lines, DataPartitionSizeFromTheFirstSizeLine) {
    EXPECT_EQ(data_partition_size_mb("NAME=x\nDATASIZEMB=64\nDATASIZEMB=8\n"), 64u);
    EXPECT_EQ(data_partition_size_mb("DATASIZEMB= 64 MB"), 64u) << "stoull skips blanks and stops at text";
    EXPECT_EQ(data_partition_size_mb(" DATASIZEMB=5\nX=1"), std::nullopt) << "the key is not trimmed";
    EXPECT_EQ(data_partition_size_mb(""), std::nullopt);
    EXPECT_EQ(data_partition_size_mb("DATASIZEMB=0"), std::nullopt);
    EXPECT_EQ(data_partition_size_mb("DATASIZEMB=-1"), std::nullopt) << "wraps to a huge value, read as negative";
    EXPECT_EQ(data_partition_size_mb("DATASIZEMB=9223372036854775807"), 9223372036854775807u);
    EXPECT_THROW(data_partition_size_mb("DATASIZEMB=many"), std::invalid_argument);
    EXPECT_THROW(data_partition_size_mb("DATASIZEMB=99999999999999999999"), std::out_of_range);
}

TEST(Working_dir, PrefixRule) {
    const std::string dir = "/run/containers/c/content";
    auto inside = [&](const std::string& link) { return working_dir_inside(link.data(), link.size(), dir); };
    EXPECT_TRUE(inside("/run/containers/c/content"));
    EXPECT_TRUE(inside("/run/containers/c/content/rootfs"));
    EXPECT_TRUE(inside("/run/containers/c/content/"));
    // A link cut after L + 1 bytes still tells a child from a sibling.
    EXPECT_TRUE(inside("/run/containers/c/content/"));
    EXPECT_FALSE(inside("/run/containers/c/content2"));
    EXPECT_FALSE(inside("/run/containers/c/content-old/x"));
    EXPECT_FALSE(inside("/run/containers/c/conten"));
    EXPECT_FALSE(inside("/run/containers/c"));
    EXPECT_FALSE(inside("/"));
    EXPECT_FALSE(inside("/run/containers/d/content"));
}

TEST(Working_dir, PidNames) {
    EXPECT_TRUE(is_pid_name("1"));
    EXPECT_TRUE(is_pid_name("4194304"));
    EXPECT_FALSE(is_pid_name("self"));
    EXPECT_FALSE(is_pid_name("12a"));
    EXPECT_FALSE(is_pid_name(""));
    EXPECT_FALSE(is_pid_name("-1"));
    EXPECT_FALSE(is_pid_name("99999999999999999999999"));
}

// A runc or a configuration file with absurd nesting must not exhaust the
// stack: the readers run iteratively.
TEST(Json_readers, DeepNestingIsRefusedWithoutRecursion) {
    const std::string deep_arrays(200000, '[');
    EXPECT_EQ(runc_state_status(deep_arrays), "");
    std::string deep_objects;
    for (int i = 0; i < 100000; ++i) {
        deep_objects += "{\"a\":";
    }
    EXPECT_EQ(runc_state_status(R"({"status":"running","x":)" + deep_objects), "running");

    Config<Filesystem> config(nullptr);
    EXPECT_FALSE(config.read_process_user_text(R"({"process":)" + deep_arrays));
    EXPECT_FALSE(config.read_process_user_text(deep_objects));
    EXPECT_TRUE(config.read_process_user_text(R"({"process":{"user":{"uid":5,"gid":6}}})"));
    EXPECT_EQ(config.uid, 5);
    EXPECT_EQ(config.gid, 6);
}

TEST_F(Config_test, DeeplyNestedFileIsAFalseResult) {
    Config<Filesystem> config(&filesystem);
    EXPECT_FALSE(config.read_process_user(write(R"({"process":{"user":)" + std::string(200000, '['))));
    EXPECT_EQ(config.uid, -1);
}

}  // namespace
}  // namespace ql
