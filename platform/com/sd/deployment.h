// Where a service lives on the network: its SOME/IP service ID and UDP
// endpoint, from the built-in defaults or the file named by UX_COM_DEPLOYMENT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// An IPv4 address or network (host byte order).
struct Ipv4_network {
    std::uint32_t address = 0;
    std::uint32_t mask = 0xffffffffu;
    bool contains(std::uint32_t a) const noexcept { return (a & mask) == (address & mask); }
};

// Where the process sends and receives SOME/IP-SD messages: a unicast
// address (default 127.0.0.1:30490) or a multicast group, from the override
// text's "service_discovery" object {"address": "...", "port": n,
// "subscribers": ["a.b.c.d", "a.b.c.d/n", ...]}. The subscribers are the
// addresses and networks a subscription may name for its notifications
// besides the subscriber's own address.
// Throws std::runtime_error for malformed override text.
struct Sd_deployment {
    std::string address = "127.0.0.1";
    std::uint16_t port = 30490;
    std::vector<Ipv4_network> subscribers;
};
Sd_deployment resolve_sd_deployment(const std::string* override_json);
Sd_deployment find_sd_deployment();

// The configured instance string as a 16-bit number (decimal or "0x" hex);
// anything else maps to the folded FNV-1a hash of its bytes.
std::uint16_t instance_id_from_string(std::string_view text);

}  // namespace ux::com::cpp_binding
