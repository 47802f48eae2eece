#include "com/binding/event_impl.h"

#include "com/endpoint/binding_logger.h"
#include "com/wire/someip_message.h"

namespace ux::com::cpp_binding::skeleton {

Event_impl::Event_impl(Pport& port, std::uint16_t index, std::vector<std::uint32_t> formats)
    : m_port(port), m_index(index), m_formats(std::move(formats)) {}

Event_impl::~Event_impl() = default;

void Event_impl::set_payload_formats(std::vector<std::uint32_t> formats) {
    std::lock_guard<std::mutex> lock(m_format_mutex);
    m_formats = std::move(formats);
}

void Event_impl::copy_payload_formats(std::vector<std::uint32_t>& out) const {
    std::lock_guard<std::mutex> lock(m_format_mutex);
    out.assign(m_formats.begin(), m_formats.end());
}

void Event_impl::set_update_request_handler(std::function<void(const Subscriber_address&)> handler) {
    std::lock_guard<std::mutex> lock(m_handler_mutex);
    m_update_request_handler = std::move(handler);
}

void Event_impl::request_update(const Subscriber_address& to) {
    std::function<void(const Subscriber_address&)> handler;
    {
        std::lock_guard<std::mutex> lock(m_handler_mutex);
        handler = m_update_request_handler;
    }
    if (!handler) {
        if (logger().IsLogEnabled(ara::log::LogLevel::kError)) {
            auto record = trace_record("Event_request_update_err", m_port.service_id(), m_port.instance_id());
            record["1_incident"]["2_Event_id"] = someip::event_id_base + m_index;
            log_trace(ara::log::LogLevel::kError, record);
        }
        return;
    }
    handler(to);
}

bool Event_impl::send(const std::vector<oq::com::runtime::Serialized_payload>& payloads) {
    trace("Event_update_tx", payloads);
    return m_port.send_to_all_subscribers(m_index, payloads);
}

bool Event_impl::send_to(const Subscriber_address& to,
                         const std::vector<oq::com::runtime::Serialized_payload>& payloads) {
    trace("Event_update_tx_unicast", payloads);
    return m_port.send_to_subscriber(m_index, to, payloads);
}

void Event_impl::trace(const char* id, const std::vector<oq::com::runtime::Serialized_payload>& payloads) const {
    if (!logger().IsLogEnabled(ara::log::LogLevel::kDebug)) {
        return;
    }
    auto record = trace_record(id, m_port.service_id(), m_port.instance_id());
    record["1_incident"]["2_Event_id"] = someip::event_id_base + m_index;
    nlohmann::json data = nlohmann::json::array();
    for (const auto& p : payloads) {
        data.push_back({{"format", p.format}, {"bytes", p.data ? hex_text(*p.data) : std::string()}});
    }
    record["1_incident"]["2_data"] = std::move(data);
    log_trace(ara::log::LogLevel::kDebug, record);
}

}  // namespace ux::com::cpp_binding::skeleton
