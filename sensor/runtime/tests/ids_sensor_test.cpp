#include "sensor/runtime/ids_sensor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ara/log/logging.h"
#include "sensor/seams/testing/log_recorder.h"
#include "sensor/seams/testing/seam_mocks.h"
#include "sensor/services/testing/field_server_fakes.h"

namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StrictMock;
using ara::exec::ApplicationReturnType;
using ara::exec::ApplicationState;
using ara::log::LogLevel;

class Sensor_lifecycle : public ::testing::Test {
protected:
    Sensor_lifecycle() {
        // The sensor sets level info; the test wants to see its debug lines.
        setenv("ARA_LOG_LEVEL", "debug", 1);
        char dir_template[] = "/tmp/ids_sensor_test.XXXXXX";
        dir = mkdtemp(dir_template);
        config_path = dir + "/config.json";
        std::ofstream(config_path) << R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "21",
            "IDSEthernetSensor_limit": 10, "aracom_InstanceId_idsipsecuritysensor": "22",
            "IDSIpSecuritySensor_limit": 3}})";

        interfaces.systemcall_api = &sys;
        interfaces.em_appclient = &em;
        interfaces.phm_api = &phm;
        interfaces.pcap_api = &pcap;
        interfaces.nl_api = &nl;
        interfaces.field_server_ethernet = &ethernet;
        interfaces.field_server_ipsec = &ipsec_server;

        ON_CALL(em, ReportApplicationState(_)).WillByDefault(Return(ApplicationReturnType::kSuccess));
        ON_CALL(sys, sigaction(_, _, _)).WillByDefault(Return(0));
        host_name("vm_housekeeping");
        // Both workers fail at start-up, so the threads end at once.
        ON_CALL(pcap, nflog_create(_, _, _)).WillByDefault(Return(nullptr));
        ON_CALL(nl, nl_socket_alloc()).WillByDefault(Return(nullptr));
    }

    ~Sensor_lifecycle() override {
        std::remove(config_path.c_str());
        rmdir(dir.c_str());
        unsetenv("ARA_LOG_LEVEL");
    }

    void host_name(const std::string& name) {
        ON_CALL(sys, gethostname(_, _)).WillByDefault(Invoke([name](char* buffer, std::size_t size) {
            std::strncpy(buffer, name.c_str(), size);
            return 0;
        }));
    }

    int run(std::vector<const char*> argv) { return IDS_Sensor(static_cast<int>(argv.size()), argv.data(), interfaces); }
    int run_with_config() { return run({"tessaly", config_path.c_str()}); }

    std::string dir;
    std::string config_path;
    Log_recorder log;
    NiceMock<Mock_Systemcall_API> sys;
    StrictMock<Mock_ARA_EM_Appclient> em;
    NiceMock<Mock_ARA_PHM_API> phm;
    NiceMock<Mock_Pcap_API> pcap;
    NiceMock<Mock_Nl_API> nl;
    Fake_ethernet_server ethernet;
    Fake_ipsec_server ipsec_server;
    IDS_interfaces interfaces;
};

TEST_F(Sensor_lifecycle, ConfigurationFailureStillReportsTermination) {
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    EXPECT_CALL(sys, gethostname(_, _)).Times(0);
    EXPECT_EQ(run({"tessaly"}), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "Wrong number of arguments."));
    EXPECT_TRUE(log.has(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
    EXPECT_TRUE(ethernet.calls().empty());
    EXPECT_TRUE(ipsec_server.calls().empty());
}

TEST_F(Sensor_lifecycle, FailedRunningReportEndsWithTermination) {
    {
        InSequence order;
        EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning))
            .WillOnce(Return(ApplicationReturnType::kGeneralError));
        EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    }
    EXPECT_CALL(sys, gethostname(_, _)).Times(0);
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "IDS_Sensor: EM state setting to Running has failed "));
    EXPECT_TRUE(log.has(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
    EXPECT_TRUE(ethernet.calls().empty());
}

TEST_F(Sensor_lifecycle, UnknownPartitionOffersNothing) {
    host_name("vm_unknown");
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning));
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    EXPECT_CALL(sys, sigaction(_, _, _)).Times(0);
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "No valid hostname"));
    EXPECT_TRUE(log.has(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
    EXPECT_TRUE(ethernet.calls().empty());
    EXPECT_TRUE(ipsec_server.calls().empty());
}

TEST_F(Sensor_lifecycle, FailedSignalInstallationStartsNoThread) {
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning));
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    EXPECT_CALL(sys, sigaction(_, _, _)).WillOnce(Return(0)).WillOnce(Return(-1));
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "IDS_Sensor: Cannot register signal handler. Terminating"));
    EXPECT_FALSE(log.has(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
    EXPECT_TRUE(ethernet.calls().empty());
}

TEST_F(Sensor_lifecycle, FailedWorkerStartUpsRunOnButEndWithFailure) {
    {
        InSequence order;
        EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning));
        EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    }
    EXPECT_CALL(pcap, nflog_create(::testing::StrEq("nflog:101,102,202"), _, _)).WillOnce(Return(nullptr));
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(log.has(LogLevel::kDebug, "IDS_Sensor: Start Field Server and Traffic SW-ID= 264"));
    EXPECT_TRUE(log.has(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc socket (sk)"));
    // Initialised with the configured ids on the main thread, offered, and
    // stopped once after both workers ended.
    EXPECT_EQ(ethernet.calls(), (std::vector<std::string>{"init 21", "offer", "stop"}));
    EXPECT_EQ(ipsec_server.calls(), (std::vector<std::string>{"init 22", "offer", "stop"}));
}

TEST_F(Sensor_lifecycle, FailedTerminatingReportTurnsTheResultIntoFailure) {
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning));
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating))
        .WillOnce(Return(ApplicationReturnType::kGeneralError));
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(log.has(LogLevel::kError, "IDS_Sensor: IDS_Sensor: EM state setting to Termination has failed "));
}

}  // namespace
