#include "sensor/config/read_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ara/log/logging.h"
#include "sensor/seams/testing/log_recorder.h"

namespace {

using ara::log::LogLevel;
using Message = std::pair<LogLevel, std::string>;

const std::string kParsePrefix = "Unable to parse config file! Please make sure it is valid json. what= ";
const std::string kFindMessage =
    "Unable to find config file! Please make sure the path to the json file is correct.";

class ReadConfig : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/read_config_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }

    void TearDown() override {
        for (const auto& f : m_files) {
            std::remove(f.c_str());
        }
        rmdir(m_dir.c_str());
    }

    std::string write_file(const std::string& text) {
        std::string path = m_dir + "/config" + std::to_string(m_files.size()) + ".json";
        std::ofstream(path, std::ios::binary) << text;
        m_files.push_back(path);
        m_last_path = path;
        return path;
    }

    // Runs read_config and returns its result with every message it logged.
    bool run(std::vector<const char*> args, IDS_instances& config) {
        const Log_recorder log;
        const bool result = read_config(static_cast<int>(args.size()), args.data(), config);
        m_messages = log.lines();
        return result;
    }

    bool run_file(const std::string& text, IDS_instances& config) {
        const std::string path = write_file(text);
        return run({"tessaly", path.c_str()}, config);
    }

    std::vector<std::string> errors() const {
        std::vector<std::string> out;
        for (const auto& m : m_messages) {
            if (m.first == LogLevel::kError) {
                out.push_back(m.second);
            }
        }
        return out;
    }

    // Expects the parse failure, whose library text holds `part`, and then
    // the line naming the last file written and the place in it.
    void expect_parse_error(const std::string& part, const std::string& place) {
        ASSERT_EQ(m_messages.size(), 2u);
        EXPECT_EQ(m_messages[0].first, LogLevel::kError);
        EXPECT_EQ(m_messages[0].second.rfind(kParsePrefix, 0), 0u) << m_messages[0].second;
        EXPECT_NE(m_messages[0].second.find(part), std::string::npos) << m_messages[0].second;
        EXPECT_EQ(m_messages[1], Message(LogLevel::kError, "Config file " + m_last_path + ": " + place));
    }

    std::string m_dir;
    std::string m_last_path;
    std::vector<std::string> m_files;
    std::vector<Message> m_messages;
};

const char* const kValid = R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "eth-1",
    "IDSEthernetSensor_limit": 10, "aracom_InstanceId_idsipsecuritysensor": "ipsec-1",
    "IDSIpSecuritySensor_limit": 3}})";

TEST_F(ReadConfig, WrongArgumentCountLogsUsageAndDoesNothingElse) {
    const std::string path = write_file(kValid);
    for (auto args : {std::vector<const char*>{"tessaly"},
                      std::vector<const char*>{"tessaly", path.c_str(), path.c_str()}}) {
        IDS_instances c;
        EXPECT_TRUE(run(args, c));
        EXPECT_EQ(m_messages, (std::vector<Message>{
                                  {LogLevel::kError, "Wrong number of arguments."},
                                  {LogLevel::kError, "Usage: tessaly [Path to configuration file]"},
                              }));
        EXPECT_EQ(c.IDSEthernetSensor_limit, 0u);  // the file was not read
    }
}

TEST_F(ReadConfig, ValidFileLoadsAndEchoesEachValueUnderItsKey) {
    IDS_instances c;
    EXPECT_FALSE(run_file(kValid, c));
    EXPECT_EQ(m_messages, (std::vector<Message>{
                              {LogLevel::kDebug, "aracom_InstanceId_idsethernetsensor: eth-1"},
                              {LogLevel::kDebug, "IDSEthernetSensor_limit: 10"},
                              {LogLevel::kDebug, "aracom_InstanceId_idsipsecuritysensor: ipsec-1"},
                              {LogLevel::kDebug, "IDSIpSecuritySensor_limit: 3"},
                          }));
    EXPECT_EQ(c.IDSEthernetSensor_limit, 10u);
    EXPECT_EQ(c.IDSIpSecuritySensor_limit, 3u);
}

TEST_F(ReadConfig, LimitsAreEchoedAsUnsigned) {
    IDS_instances c;
    EXPECT_FALSE(run_file(R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "",
        "IDSEthernetSensor_limit": -1, "aracom_InstanceId_idsipsecuritysensor": "x",
        "IDSIpSecuritySensor_limit": true}})",
                          c));
    ASSERT_EQ(m_messages.size(), 4u);
    EXPECT_EQ(m_messages[0].second, "aracom_InstanceId_idsethernetsensor: ");
    EXPECT_EQ(m_messages[1].second, "IDSEthernetSensor_limit: 4294967295");
    EXPECT_EQ(m_messages[3].second, "IDSIpSecuritySensor_limit: 1");
}

TEST_F(ReadConfig, MissingFileGivesBothMessagesInOrder) {
    IDS_instances c;
    const std::string path = m_dir + "/does-not-exist.json";
    EXPECT_TRUE(run({"tessaly", path.c_str()}, c));
    const auto e = errors();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(e[0], kFindMessage);
    EXPECT_EQ(e[1].rfind(kParsePrefix, 0), 0u) << e[1];
    EXPECT_NE(e[1].find("[json.exception.parse_error.101]"), std::string::npos) << e[1];
    EXPECT_NE(e[1].find("unexpected end of input"), std::string::npos) << e[1];
    EXPECT_EQ(e[2], "Config file " + path + ": cannot be read (No such file or directory)");
}

TEST_F(ReadConfig, DirectoryIsTreatedAsUnreadable) {
    IDS_instances c;
    EXPECT_TRUE(run({"tessaly", m_dir.c_str()}, c));
    const auto e = errors();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0], kFindMessage);
    EXPECT_NE(e[1].find("unexpected end of input"), std::string::npos) << e[1];
    EXPECT_EQ(e[2], "Config file " + m_dir + ": cannot be read (Is a directory)");
}

TEST_F(ReadConfig, EmptyFileAndInvalidJsonGiveOneSyntaxError) {
    IDS_instances c;
    EXPECT_TRUE(run_file("", c));
    expect_parse_error("unexpected end of input", "JSON syntax error at line 1, column 1");
    EXPECT_TRUE(run_file("{\"IDS_config\":\n {\"a\": 1,}}", c));
    expect_parse_error("[json.exception.parse_error.101]", "JSON syntax error at line 2, column 10");
    EXPECT_TRUE(run_file("/* c */ {}", c));
    expect_parse_error("[json.exception.parse_error.101]", "JSON syntax error at line 1, column 1");
}

TEST_F(ReadConfig, WrongTopLevelOrConfigTypeGivesTypeError305) {
    IDS_instances c;
    EXPECT_TRUE(run_file("[]", c));
    expect_parse_error("[json.exception.type_error.305] cannot use operator[] with a string argument with array",
                       "\"IDS_config\".\"aracom_InstanceId_idsethernetsensor\" must be a string");
    EXPECT_TRUE(run_file(R"({"IDS_config": 5})", c));
    expect_parse_error("[json.exception.type_error.305] cannot use operator[] with a string argument with number",
                       "\"IDS_config\".\"aracom_InstanceId_idsethernetsensor\" must be a string");
    EXPECT_TRUE(run_file(R"({"IDS_config": true})", c));
    expect_parse_error("cannot use operator[] with a string argument with boolean", "\"IDS_config\".\"aracom_InstanceId_idsethernetsensor\" must be a string");
}

TEST_F(ReadConfig, MissingConfigOrKeyGivesTypeError302NamingNull) {
    IDS_instances c;
    EXPECT_TRUE(run_file(R"({"other": 1})", c));
    expect_parse_error("[json.exception.type_error.302] type must be string, but is null", "\"IDS_config\".\"aracom_InstanceId_idsethernetsensor\" must be a string");
    EXPECT_TRUE(run_file(R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "e",
        "aracom_InstanceId_idsipsecuritysensor": "i", "IDSEthernetSensor_limit": 1}})",
                         c));
    expect_parse_error("[json.exception.type_error.302] type must be number, but is null",
                       "\"IDS_config\".\"IDSIpSecuritySensor_limit\" must be a number");
    EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "e");  // stored before the failure
}

TEST_F(ReadConfig, WrongValueTypesGiveTypeError302) {
    IDS_instances c;
    EXPECT_TRUE(run_file(R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": 7,
        "IDSEthernetSensor_limit": 1, "aracom_InstanceId_idsipsecuritysensor": "i", "IDSIpSecuritySensor_limit": 1}})",
                         c));
    expect_parse_error("type must be string, but is number", "\"IDS_config\".\"aracom_InstanceId_idsethernetsensor\" must be a string");
    EXPECT_TRUE(run_file(R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "e",
        "IDSEthernetSensor_limit": "10", "aracom_InstanceId_idsipsecuritysensor": "i", "IDSIpSecuritySensor_limit": 1}})",
                         c));
    expect_parse_error("type must be number, but is string",
                       "\"IDS_config\".\"IDSEthernetSensor_limit\" must be a number");
}

TEST_F(ReadConfig, TextAfterTheFirstValueIsNotRead) {
    IDS_instances c;
    EXPECT_FALSE(run_file("\xEF\xBB\xBF" + std::string(kValid) + "\n this is { not json", c));
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(c.aracom_InstanceId_idsipsecuritysensor, "ipsec-1");
}

}  // namespace
