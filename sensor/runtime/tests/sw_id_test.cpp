#include "sensor/runtime/sw_id.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ara/log/logging.h"
#include "sensor/seams/testing/log_recorder.h"
#include "sensor/seams/testing/seam_mocks.h"

namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::NiceMock;
using ara::log::LogLevel;

class Partition_detection : public ::testing::Test {
protected:
    void host_name(const std::string& name) {
        ON_CALL(sys, gethostname(_, _)).WillByDefault(Invoke([name](char* buffer, std::size_t size) {
            EXPECT_EQ(size, 64u);
            std::strncpy(buffer, name.c_str(), size);
            return 0;
        }));
    }

    void host_name_error(int error) {
        ON_CALL(sys, gethostname(_, _)).WillByDefault(Invoke([error](char*, std::size_t) {
            errno = error;
            return -1;
        }));
    }

    Log_recorder log;
    NiceMock<Mock_Systemcall_API> sys;
};

TEST_F(Partition_detection, ExactHostNamesGiveTheirSwId) {
    const std::pair<const char*, std::int16_t> table[] = {
        {"vm_housekeeping", 264}, {"vm_adaptive", 265}, {"vm_java", 266}, {"qemu-arm64", 42}};
    for (const auto& [name, sw_id] : table) {
        log.clear();
        host_name(name);
        EXPECT_EQ(get_SwId(sys), sw_id) << name;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::make_pair(LogLevel::kInfo, std::string("IDS_sensor: ") + name + " detected"));
    }
}

TEST_F(Partition_detection, NearMissesAreNoPartition) {
    for (const char* name : {"VM_JAVA", "vm_java.local", "qemu", "", "vm_java "}) {
        log.clear();
        host_name(name);
        EXPECT_EQ(get_SwId(sys), 1) << name;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], std::make_pair(LogLevel::kInfo, std::string("IDS_sensor: ") + name + " detected"));
        EXPECT_EQ(lines[1], std::make_pair(LogLevel::kError, std::string("No valid hostname")));
        EXPECT_EQ(lines[2].second, std::string("get_SwId: the host name must be one of qemu-arm64, vm_adaptive, "
                                                "vm_housekeeping, vm_java (it is \"") + name + "\")");
    }
}

TEST_F(Partition_detection, HostNameErrorsAreNamedByErrno) {
    const std::pair<int, const char*> cases[] = {
        {EINVAL, "get_SwId: Get hostname: Length is negative."},
        {ENAMETOOLONG, "get_SwId: Get hostname: Length is smaller than the actual size."},
        {EFAULT, "get_SwId: Get hostname: Invalid address."},
        {EPERM, "get_SwId: Get hostname: Unknown error."},
    };
    for (const auto& [error, text] : cases) {
        log.clear();
        host_name_error(error);
        EXPECT_EQ(get_SwId(sys), 1);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::make_pair(LogLevel::kError, std::string(text)));
    }
}

TEST_F(Partition_detection, UnterminatedNameIsCutAtTheBuffer) {
    ON_CALL(sys, gethostname(_, _)).WillByDefault(Invoke([](char* buffer, std::size_t size) {
        std::memset(buffer, 'a', size);
        return 0;
    }));
    EXPECT_EQ(get_SwId(sys), 1);
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].second, "IDS_sensor: " + std::string(63, 'a') + " detected");
}

}  // namespace
