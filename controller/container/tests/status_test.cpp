// The runtime state query against a stand-in runc on PATH that prints a given
// text and exits with a given code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "controller/container/container.h"

namespace ql {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class Status_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ql_status_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        std::ofstream(dir + "/runc") << "#!/bin/sh\n"
                                        "echo \"$*\" >> \"$(dirname \"$0\")/calls\"\n"
                                        "cat \"$(dirname \"$0\")/out\"\n"
                                        "exit \"$(cat \"$(dirname \"$0\")/code\")\"\n";
        fs::permissions(dir + "/runc", fs::perms::owner_all);
        old_path = std::getenv("PATH");
        ::setenv("PATH", (dir + ":" + old_path).c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", old_path.c_str(), 1);
        fs::remove_all(dir);
    }

    void runc_answers(const std::string& text, int code) {
        std::ofstream(dir + "/out") << text;
        std::ofstream(dir + "/code") << code;
    }

    // The status, or the exception text; log lines end up in log.
    std::string query(std::string& log) {
        Container container("box", {}, false, false);
        ::testing::internal::CaptureStdout();
        std::string result;
        try {
            switch (container.get_status()) {
            case Container_status::RUNNING: result = "RUNNING"; break;
            case Container_status::STOPPED: result = "STOPPED"; break;
            case Container_status::DELETED: result = "DELETED"; break;
            }
        } catch (const std::runtime_error& error) {
            result = error.what();
        }
        log = ::testing::internal::GetCapturedStdout();
        return result;
    }

    std::string dir;
    std::string old_path;
};

std::string state(const std::string& status) {
    return R"({"ociVersion":"1.0.2","id":"box","pid":815,"status":")" + status +
           R"(","bundle":"/run/containers/box/content","rootfs":"/run/containers/box/content/rootfs",)"
           R"("created":"2024-05-01T10:00:00.123Z","owner":""})" "\n";
}

TEST_F(Status_test, StoppedAndEverythingElseKnownToRunc) {
    std::string log;
    runc_answers(state("stopped"), 0);
    EXPECT_EQ(query(log), "STOPPED");
    for (const char* other : {"running", "created", "paused", "Stopped", "stopped "}) {
        runc_answers(state(other), 0);
        EXPECT_EQ(query(log), "RUNNING") << other;
    }
    std::ifstream calls_file(dir + "/calls");
    std::string calls((std::istreambuf_iterator<char>(calls_file)), std::istreambuf_iterator<char>());
    EXPECT_THAT(calls, HasSubstr("state box\n"));
}

TEST_F(Status_test, DoesNotExistMeansDeletedWithoutAnError) {
    std::string log;
    runc_answers("time=\"2024\" level=error msg=\"container does not exist\"\n", 1);
    EXPECT_EQ(query(log), "DELETED");
    EXPECT_THAT(log, Not(HasSubstr("ERROR")));
    // Any exit code counts, the text decides.
    runc_answers("container box does not exist\n", 3);
    EXPECT_EQ(query(log), "DELETED");
}

TEST_F(Status_test, OtherFailuresRaise) {
    std::string log;
    runc_answers("permission denied\n", 1);
    EXPECT_THAT(query(log), ::testing::MatchesRegex(
                                R"(Assertion `runc_list_str.find\(" does not exist"\) != std::string::npos` failed at container.cpp:[0-9]+)"));
    EXPECT_THAT(log, HasSubstr("unexpected runc return code: 1\n"));
    EXPECT_THAT(log, HasSubstr("ERROR ("));

    // "does not exist" needs the blank before it.
    runc_answers("box:does not exist\n", 1);
    EXPECT_THAT(query(log), HasSubstr("failed at container.cpp:"));
}

TEST_F(Status_test, UnreadableStateRaises) {
    const std::string assertion = "Assertion `!sax_handler.m_container_status.empty()` failed at container.cpp:";
    std::string log;
    runc_answers("this is not json\n", 0);
    EXPECT_THAT(query(log), HasSubstr(assertion));
    EXPECT_THAT(log, HasSubstr("could not parse runc list output: this is not json\n"));

    runc_answers(R"({"id":"box","annotations":{"status":"running"}})", 0);
    EXPECT_THAT(query(log), HasSubstr(assertion));
    EXPECT_THAT(log, HasSubstr(R"(could not parse runc list output: {"id":"box")"));

    runc_answers(R"({"status":{"state":"running"}})", 0);
    EXPECT_THAT(query(log), HasSubstr(assertion));

    runc_answers("", 0);
    EXPECT_THAT(query(log), HasSubstr(assertion));

    // Text after a document whose status was taken does not matter.
    runc_answers(state("stopped") + "warning: something\n", 0);
    EXPECT_EQ(query(log), "STOPPED");
}

class Label_check : public Status_test {
protected:
    // The label, or the exception text; log lines end up in log.
    std::string check(const std::string& current, std::string& log, bool smack = true) {
        Smack_interfaces interfaces;
        interfaces.lsm_list = dir + "/lsm";
        interfaces.current = dir + "/current";
        std::ofstream(interfaces.lsm_list) << (smack ? "capability,smack\n" : "capability,apparmor\n");
        std::ofstream(interfaces.current) << current;
        Container container("box", {}, true, false);
        ::testing::internal::CaptureStdout();
        std::string result;
        try {
            result = "label:" + container.check_smack_label(interfaces);
        } catch (const std::runtime_error& error) {
            result = error.what();
        }
        log = ::testing::internal::GetCapturedStdout();
        return result;
    }
};

TEST_F(Label_check, ValidEmptyAndMalformedLabels) {
    std::string log;
    EXPECT_EQ(check("System", log), "label:System");
    EXPECT_EQ(check("_", log), "label:_");
    EXPECT_EQ(check(std::string(255, 'L'), log), "label:" + std::string(255, 'L'));
    EXPECT_EQ(check("", log), "label:");
    // Another module's context is not a SMACK label and is not judged.
    EXPECT_EQ(check("unconfined\n", log, false), "label:");

    const std::string assertion = "Assertion `(has_invalid_label == false)` failed at container.cpp:";
    EXPECT_THAT(check("unconfined\n", log), HasSubstr(assertion));
    EXPECT_THAT(log, HasSubstr(
        "SMACK label: unconfined\n is incorrect. Allowed characters: ASCII letters, digits, '_' and '-' "
        "(hyphen not allowed at first position). Allowed length: 2-255 or single underscore. "
        "Single-character labels: \"*\" and \"^\" are also allowed but not recommended.\n"));
    EXPECT_THAT(check("a", log), HasSubstr(assertion));
    EXPECT_THAT(check("-System", log), HasSubstr(assertion));
    // A full read of 256 bytes is refused, and the label is reported empty.
    EXPECT_THAT(check(std::string(256, 'L'), log), HasSubstr(assertion));
    EXPECT_THAT(log, HasSubstr("SMACK label:  is incorrect."));
}

}  // namespace
}  // namespace ql
