// Field servers for the sensor's tests and benchmarks: they note what the
// code under test hands them instead of publishing it. Calls may come from
// several threads. No test framework, so benchmarks can use them too.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "sensor/services/field_server_skeleton_idsipsecuritysensor_interface.h"
#include "sensor/services/field_server_skeleton_interface.h"

// Notes the life-cycle calls ("init <id>", "offer", "stop"), counts the
// packet reports and keeps the flow samples. With a server to forward to,
// every call also goes on to it, so the reports really leave.
class Fake_ethernet_server : public Field_Server_Skeleton_Interface {
public:
    using Flow_samples = std::vector<ksr::services::idsethernetsensor::datatypes::DT_trafficFlowSamples_struct>;

    explicit Fake_ethernet_server(Field_Server_Skeleton_Interface* forward_to = nullptr) noexcept
        : m_forward_to(forward_to) {}

    void init(const std::string& id) override {
        note("init " + id);
        if (m_forward_to != nullptr) {
            m_forward_to->init(id);
        }
    }
    void offer_service() override {
        note("offer");
        if (m_forward_to != nullptr) {
            m_forward_to->offer_service();
        }
    }
    void update_special_frame_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_specialFrameReports_struct>& list) override {
        ++m_reports;
        if (m_forward_to != nullptr) {
            m_forward_to->update_special_frame_reports(list);
        }
    }
    void update_service_discovery_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_serviceDiscoveryReports_struct>& list)
        override {
        ++m_reports;
        if (m_forward_to != nullptr) {
            m_forward_to->update_service_discovery_reports(list);
        }
    }
    void update_classifier_match_reports(
        const std::vector<ksr::services::idsethernetsensor::datatypes::DT_classifierMatchReports_struct>& list)
        override {
        ++m_reports;
        if (m_forward_to != nullptr) {
            m_forward_to->update_classifier_match_reports(list);
        }
    }
    void update_traffic_flow_samples(const Flow_samples& list) override {
        if (m_fail_flow_samples) {
            throw std::runtime_error("update failed");
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_samples.push_back(list);
        }
        if (m_forward_to != nullptr) {
            m_forward_to->update_traffic_flow_samples(list);
        }
    }
    void stop_offer_service() override {
        note("stop");
        if (m_forward_to != nullptr) {
            m_forward_to->stop_offer_service();
        }
    }

    // From now on every flow sample update throws, as a failing middleware would.
    void fail_flow_samples() noexcept { m_fail_flow_samples = true; }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    int stops() const {
        int count = 0;
        for (const auto& call : calls()) {
            count += call == "stop" ? 1 : 0;
        }
        return count;
    }
    // Special frame, service discovery and classifier match lists handed over.
    std::uint64_t reports() const noexcept { return m_reports.load(); }
    std::vector<Flow_samples> samples() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples;
    }

private:
    void note(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }

    Field_Server_Skeleton_Interface* m_forward_to;
    // Counted without a lock or an allocation: benchmarks count the heap.
    std::atomic<std::uint64_t> m_reports{0};
    std::atomic<bool> m_fail_flow_samples{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<Flow_samples> m_samples;
};

// Notes the life-cycle calls ("init <id>", "offer", "stop") and counts the
// firewall report lists.
class Fake_ipsec_server : public Field_Server_Skeleton_Idsipsecuritysensor_Interface {
public:
    void init(const std::string& id) override { note("init " + id); }
    void offer_service() override { note("offer"); }
    void update_firewall_filter_reports(
        const std::vector<ksr::services::idsipsecuritysensor::datatypes::DT_firewallFilterReports_struct>&) override {
        ++m_reports;
    }
    void stop_offer_service() override { note("stop"); }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    std::uint64_t reports() const noexcept { return m_reports.load(); }

private:
    void note(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }

    std::atomic<std::uint64_t> m_reports{0};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};
