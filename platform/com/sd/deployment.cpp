#include "com/sd/deployment.h"

#include <arpa/inet.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace ux::com::cpp_binding {
namespace {

const std::map<std::string, Service_deployment>& defaults() {
    static const std::map<std::string, Service_deployment> table{
        {"ksr::services::idsethernetsensor::IDSEthernetSensor", {0x1001, "127.0.0.1", 30501}},
        {"ksr::services::idsipsecuritysensor::IDSIpSecuritySensor", {0x1002, "127.0.0.1", 30502}},
    };
    return table;
}

std::uint16_t to_u16(const nlohmann::json& value, const char* what) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xffff) {
        throw std::runtime_error(std::string("deployment: ") + what + " must be a number from 0 to 65535");
    }
    return static_cast<std::uint16_t>(value.get<std::uint64_t>());
}

// A 16-bit number in the base; leading zeros are allowed, anything above
// 0xffff is not a number here.
bool parse_number(std::string_view text, int base, std::uint32_t& out) {
    if (text.empty()) {
        return false;
    }
    std::uint32_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
        if (value > 0xffff) {
            return false;
        }
    }
    out = value;
    return true;
}

// "a.b.c.d" or "a.b.c.d/n".
Ipv4_network parse_network(const nlohmann::json& value) {
    const char* what = "deployment: service_discovery subscribers must be IPv4 addresses or networks (a.b.c.d/n)";
    if (!value.is_string()) {
        throw std::runtime_error(what);
    }
    const std::string& text = value.get_ref<const std::string&>();
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    in_addr a{};
    if (address.find('\0') != std::string::npos || inet_pton(AF_INET, address.c_str(), &a) != 1) {
        throw std::runtime_error(what);
    }
    Ipv4_network n;
    n.address = ntohl(a.s_addr);
    if (slash != std::string::npos) {
        std::uint32_t bits = 0;
        if (!parse_number(std::string_view(text).substr(slash + 1), 10, bits) || bits > 32) {
            throw std::runtime_error(what);
        }
        n.mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    }
    return n;
}

}  // namespace

std::optional<Service_deployment> resolve_deployment(const std::string& service_name,
                                                     const std::string* override_json) {
    std::optional<Service_deployment> result;
    auto it = defaults().find(service_name);
    if (it != defaults().end()) {
        result = it->second;
    }
    if (override_json == nullptr) {
        return result;
    }
    nlohmann::json doc = nlohmann::json::parse(*override_json, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        throw std::runtime_error("deployment: the override is not a JSON object");
    }
    auto entry = doc.find(service_name);
    if (entry == doc.end()) {
        return result;
    }
    if (!entry->is_object()) {
        throw std::runtime_error("deployment: the entry of " + service_name + " is not an object");
    }
    Service_deployment d = result.value_or(Service_deployment{0, "127.0.0.1", 0});
    if (auto v = entry->find("service_id"); v != entry->end()) {
        d.service_id = to_u16(*v, "service_id");
    }
    if (auto v = entry->find("port"); v != entry->end()) {
        d.port = to_u16(*v, "port");
    }
    if (auto v = entry->find("address"); v != entry->end()) {
        in_addr probe{};
        // inet_pton sees the text only up to a NUL; whatever hides behind it
        // must not slip into the stored address.
        if (!v->is_string() || v->get_ref<const std::string&>().find('\0') != std::string::npos ||
            inet_pton(AF_INET, v->get_ref<const std::string&>().c_str(), &probe) != 1) {
            throw std::runtime_error("deployment: address must be an IPv4 address in dotted decimal");
        }
        d.address = v->get<std::string>();
    }
    if (d.service_id == 0 && !result) {
        throw std::runtime_error("deployment: " + service_name + " needs a service_id");
    }
    return d;
}

// The override file's text, or nothing when UX_COM_DEPLOYMENT is unset.
static std::optional<std::string> read_override() {
    const char* path = std::getenv("UX_COM_DEPLOYMENT");
    if (path == nullptr || *path == '\0') {
        return std::nullopt;
    }
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error(std::string("deployment: cannot read ") + path);
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<Service_deployment> find_deployment(const std::string& service_name) {
    const auto content = read_override();
    return resolve_deployment(service_name, content ? &*content : nullptr);
}

Sd_deployment resolve_sd_deployment(const std::string* override_json) {
    Sd_deployment d;
    if (override_json == nullptr) {
        return d;
    }
    nlohmann::json doc = nlohmann::json::parse(*override_json, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        throw std::runtime_error("deployment: the override is not a JSON object");
    }
    auto entry = doc.find("service_discovery");
    if (entry == doc.end()) {
        return d;
    }
    if (!entry->is_object()) {
        throw std::runtime_error("deployment: service_discovery is not an object");
    }
    if (auto v = entry->find("port"); v != entry->end()) {
        d.port = to_u16(*v, "service_discovery port");
        if (d.port == 0) {
            throw std::runtime_error("deployment: service_discovery port must not be 0");
        }
    }
    if (auto v = entry->find("address"); v != entry->end()) {
        in_addr probe{};
        if (!v->is_string() || inet_pton(AF_INET, v->get<std::string>().c_str(), &probe) != 1) {
            throw std::runtime_error("deployment: service_discovery address must be an IPv4 address in dotted decimal");
        }
        d.address = v->get<std::string>();
    }
    if (auto v = entry->find("subscribers"); v != entry->end()) {
        if (!v->is_array()) {
            throw std::runtime_error("deployment: service_discovery subscribers must be a list");
        }
        for (const auto& item : *v) {
            d.subscribers.push_back(parse_network(item));
        }
    }
    return d;
}

Sd_deployment find_sd_deployment() {
    const auto content = read_override();
    return resolve_sd_deployment(content ? &*content : nullptr);
}

std::uint16_t instance_id_from_string(std::string_view text) {
    std::uint32_t value = 0;
    bool ok;
    // Only a lower-case "0x" introduces hexadecimal.
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') {
        ok = parse_number(text.substr(2), 16, value);
    } else {
        ok = parse_number(text, 10, value);
    }
    if (ok) {
        return static_cast<std::uint16_t>(value);
    }
    std::uint32_t hash = 2166136261u;
    for (char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    return static_cast<std::uint16_t>((hash >> 16) ^ (hash & 0xffff));
}

}  // namespace ux::com::cpp_binding
