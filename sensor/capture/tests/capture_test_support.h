// Doubles and helpers shared by the capture component's unit tests.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sensor/capture/group_dispatch.h"
#include "sensor/capture/report_sender.h"
#include "sensor/capture/traffic.h"
#include "sensor/seams/testing/log_recorder.h"
#include "sensor/seams/testing/seam_mocks.h"
#include "sensor/services/testing/field_server_mocks.h"

namespace capture_test {

namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;

// A clock the tests move by hand; the limiters read it through a plain
// function pointer.
struct Manual_clock {
    static inline std::chrono::system_clock::time_point now{};
    static std::chrono::system_clock::time_point read() { return now; }
    static void reset() { now = std::chrono::system_clock::time_point(std::chrono::hours(24 * 365 * 50)); }
    template <typename Duration>
    static void advance(Duration d) {
        now += std::chrono::duration_cast<std::chrono::system_clock::duration>(d);
    }
};

// One NFLOG message as the capture library hands it over: the 4-byte header
// with the group in network order, then attributes in host order.
class Nflog_message {
public:
    explicit Nflog_message(std::uint16_t group) {
        m_bytes = {2, 0, static_cast<std::uint8_t>(group >> 8), static_cast<std::uint8_t>(group & 0xff)};
    }

    Nflog_message& attribute(std::uint16_t type, const void* value, std::size_t length) {
        const auto total = static_cast<std::uint16_t>(4 + length);
        append_raw_header(total, type);
        const auto* bytes = static_cast<const std::uint8_t*>(value);
        m_bytes.insert(m_bytes.end(), bytes, bytes + length);
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
        return *this;
    }

    // A prefix attribute as the kernel writes it, NUL included.
    Nflog_message& prefix(const std::string& text) { return attribute(10, text.c_str(), text.size() + 1); }
    Nflog_message& payload(const std::vector<std::uint8_t>& bytes) { return attribute(9, bytes.data(), bytes.size()); }

    // An attribute header with any length field, nothing else.
    Nflog_message& append_raw_header(std::uint16_t length, std::uint16_t type) {
        std::uint8_t header[4];
        std::memcpy(header, &length, 2);
        std::memcpy(header + 2, &type, 2);
        m_bytes.insert(m_bytes.end(), header, header + 4);
        return *this;
    }

    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(m_bytes.size()); }

private:
    std::vector<std::uint8_t> m_bytes;
};

inline pcap_pkthdr header_for(std::uint32_t caplen, long seconds = 1700000000) {
    pcap_pkthdr header{};
    header.ts.tv_sec = seconds;
    header.caplen = caplen;
    header.len = caplen;
    return header;
}

inline std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return bytes;
}

// A Traffic, and each of its parts on its own, wired to mocks, with both
// field servers present.
struct Traffic_fixture : ::testing::Test {
    Traffic_fixture()
        : ethernet_handle(&ethernet, "eth"),
          ipsec_handle(&ipsec, "ipsec"),
          traffic(&pcap, 265, &ethernet_handle, &ipsec_handle, &phm, &Manual_clock::read),
          groups(265, &ethernet_handle, &ipsec_handle, &phm, &Manual_clock::read),
          reports(265, &ethernet_handle) {
        Manual_clock::reset();
    }

    Log_recorder log;
    ::testing::NiceMock<Mock_Pcap_API> pcap;
    ::testing::NiceMock<Mock_ARA_PHM_API> phm;
    ::testing::NiceMock<Mock_ethernet_server> ethernet;
    ::testing::NiceMock<Mock_ipsec_server> ipsec;
    Ethernet_field_server_handle ethernet_handle;
    Ipsec_field_server_handle ipsec_handle;
    Traffic traffic;
    Group_dispatch groups;
    Report_sender reports;
};

}  // namespace capture_test
