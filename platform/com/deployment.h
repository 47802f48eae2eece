// Where a service lives on the network: its SOME/IP service ID and UDP
// endpoint, from the built-in defaults or the file named by UX_COM_DEPLOYMENT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ux::com::cpp_binding {

struct Service_deployment {
    std::uint16_t service_id = 0;
    std::string address;  // IPv4, dotted decimal
    std::uint16_t port = 0;  // 0: any free port
};

// Defaults for the known services, overridden per service name by the JSON
// text {"<service name>": {"address": "...", "port": n, "service_id": n}}.
// Throws std::runtime_error for malformed override text.
std::optional<Service_deployment> resolve_deployment(const std::string& service_name,
                                                     const std::string* override_json);

// Same, reading the override file named by UX_COM_DEPLOYMENT (if set).
std::optional<Service_deployment> find_deployment(const std::string& service_name);

// The configured instance string as a 16-bit number (decimal or "0x" hex);
// anything else maps to the folded FNV-1a hash of its bytes.
std::uint16_t instance_id_from_string(std::string_view text);

}  // namespace ux::com::cpp_binding
