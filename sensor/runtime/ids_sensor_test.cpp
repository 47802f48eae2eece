#include "sensor/runtime/ids_sensor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ara/log/logging.h"
#include "sensor/seams/testing/log_recorder.h"
#include "sensor/seams/testing/seam_mocks.h"
#include "sensor/services/field_server_skeleton_idsipsecuritysensor_interface.h"
#include "sensor/services/field_server_skeleton_interface.h"

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
namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;

// Records what the runtime does with a field server; the calls come from
// several threads.
class Fake_ethernet_server : public Field_Server_Skeleton_Interface {
public:
    void init(const std::string& id) override { note("init " + id); }
    void offer_service() override { note("offer"); }
    void update_special_frame_reports(const std::vector<eth::DT_specialFrameReports_struct>&) override {}
    void update_service_discovery_reports(const std::vector<eth::DT_serviceDiscoveryReports_struct>&) override {}
    void update_classifier_match_reports(const std::vector<eth::DT_classifierMatchReports_struct>&) override {}
    void update_traffic_flow_samples(const std::vector<eth::DT_trafficFlowSamples_struct>&) override {}
    void stop_offer_service() override { note("stop"); }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    void note(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

class Fake_ipsec_server : public Field_Server_Skeleton_Idsipsecuritysensor_Interface {
public:
    void init(const std::string& id) override { note("init " + id); }
    void offer_service() override { note("offer"); }
    void update_firewall_filter_reports(const std::vector<ipsec::DT_firewallFilterReports_struct>&) override {}
    void stop_offer_service() override { note("stop"); }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    void note(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

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

    bool logged(LogLevel level, const std::string& text) {
        for (const auto& line : log.lines()) {
            if (line.first == level && line.second == text) {
                return true;
            }
        }
        return false;
    }

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
    EXPECT_TRUE(logged(LogLevel::kError, "Wrong number of arguments."));
    EXPECT_TRUE(logged(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
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
    EXPECT_TRUE(logged(LogLevel::kError, "IDS_Sensor: EM state setting to Running has failed "));
    EXPECT_TRUE(logged(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
    EXPECT_TRUE(ethernet.calls().empty());
}

TEST_F(Sensor_lifecycle, UnknownPartitionOffersNothing) {
    host_name("vm_unknown");
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning));
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    EXPECT_CALL(sys, sigaction(_, _, _)).Times(0);
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(logged(LogLevel::kError, "No valid hostname"));
    EXPECT_TRUE(logged(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
    EXPECT_TRUE(ethernet.calls().empty());
    EXPECT_TRUE(ipsec_server.calls().empty());
}

TEST_F(Sensor_lifecycle, FailedSignalInstallationStartsNoThread) {
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kRunning));
    EXPECT_CALL(em, ReportApplicationState(ApplicationState::kTerminating));
    EXPECT_CALL(sys, sigaction(_, _, _)).WillOnce(Return(0)).WillOnce(Return(-1));
    EXPECT_EQ(run_with_config(), 1);
    EXPECT_TRUE(logged(LogLevel::kError, "IDS_Sensor: Cannot register signal handler. Terminating"));
    EXPECT_FALSE(logged(LogLevel::kError, "IDS_Sensor: Cannot detect partition. Terminating"));
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
    EXPECT_TRUE(logged(LogLevel::kDebug, "IDS_Sensor: Start Field Server and Traffic SW-ID= 264"));
    EXPECT_TRUE(logged(LogLevel::kError, "[IPTrafficStatistics]:cannot alloc socket (sk)"));
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
    EXPECT_TRUE(logged(LogLevel::kError, "IDS_Sensor: IDS_Sensor: EM state setting to Termination has failed "));
}

}  // namespace
