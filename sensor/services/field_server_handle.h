// The runtime's hold on one field server: it initialises the server on
// construction and wraps offer and stop with their log lines. It does not own
// the server.
#pragma once

#include <string>

#include "sensor/services/field_server_skeleton_idsipsecuritysensor_interface.h"
#include "sensor/services/field_server_skeleton_interface.h"

namespace field_server_detail {

// Service word used in the handle's log lines.
template <typename Server>
struct Service_label;

template <>
struct Service_label<Field_Server_Skeleton_Interface> {
    static constexpr const char* text = "Ethernetsensor";
};

template <>
struct Service_label<Field_Server_Skeleton_Idsipsecuritysensor_Interface> {
    static constexpr const char* text = "Ipsecuritysensor";
};

void log_debug(const char* text, const char* label);

}  // namespace field_server_detail

template <typename Server>
class Field_server_handle {
public:
    // Logs "init Field Server <service>" and calls init; a null server is
    // kept as null (producers check for it).
    Field_server_handle(Server* server, const std::string& instance_id) : m_server(server) {
        field_server_detail::log_debug("init Field Server ", label());
        if (m_server != nullptr) {
            m_server->init(instance_id);
        }
    }

    Server* get() const noexcept { return m_server; }
    Server* operator->() const noexcept { return m_server; }
    explicit operator bool() const noexcept { return m_server != nullptr; }

    void offer_service() const {
        field_server_detail::log_debug("Starting Field_Server ", label());
        if (m_server != nullptr) {
            m_server->offer_service();
        }
        field_server_detail::log_debug("server Offering Service ", label());
    }

    void stop_offer_service() const {
        if (m_server != nullptr) {
            m_server->stop_offer_service();
        }
        field_server_detail::log_debug("StopOfferService ", label());
    }

private:
    static const char* label() noexcept { return field_server_detail::Service_label<Server>::text; }

    Server* m_server;
};

using Ethernet_field_server_handle = Field_server_handle<Field_Server_Skeleton_Interface>;
using Ipsec_field_server_handle = Field_server_handle<Field_Server_Skeleton_Idsipsecuritysensor_Interface>;
