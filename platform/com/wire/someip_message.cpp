#include "com/wire/someip_message.h"

#include <algorithm>

namespace ux::com::someip {
namespace {

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t get24(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 16) | (static_cast<std::uint32_t>(p[1]) << 8) | p[2];
}
std::uint32_t get32(const std::uint8_t* p) { return (static_cast<std::uint32_t>(get16(p)) << 16) | get16(p + 2); }

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v >> 16));
    put16(p + 2, static_cast<std::uint16_t>(v));
}

constexpr std::size_t entry_size = 16;
constexpr std::size_t ipv4_option_size = 12;

struct Option {
    std::uint8_t type;
    std::optional<Ipv4_endpoint> endpoint;
};

}  // namespace

void encode_header(const Header& header, std::uint8_t (&out)[header_size]) {
    put16(out, header.service_id);
    put16(out + 2, header.method_id);
    put32(out + 4, header.length);
    put16(out + 8, header.client_id);
    put16(out + 10, header.session_id);
    out[12] = header.protocol_version;
    out[13] = header.interface_version;
    out[14] = static_cast<std::uint8_t>(header.message_type);
    out[15] = header.return_code;
}

Header answer_header(const Header& request, std::uint8_t return_code, std::size_t payload_size) {
    Header h = request;
    const bool ok = return_code == return_code::e_ok;
    h.message_type = ok ? Message_type::response : Message_type::error;
    h.return_code = return_code;
    h.interface_version = interface_version;
    h.length = length_for(ok ? payload_size : 0);
    return h;
}

Header notification_header(std::uint16_t service_id, std::uint16_t event_index, std::uint16_t session_id,
                           std::size_t payload_size) {
    Header h;
    h.service_id = service_id;
    h.method_id = static_cast<std::uint16_t>(event_id_base + event_index);
    h.length = length_for(payload_size);
    h.session_id = session_id;
    h.message_type = Message_type::notification;
    return h;
}

std::vector<std::uint8_t> encode_answer(const Header& request, const std::uint8_t* body, std::size_t body_size,
                                        std::uint8_t return_code) {
    const Header h = answer_header(request, return_code, body_size);
    const std::size_t size = payload_size(h);
    std::vector<std::uint8_t> out(header_size + size);
    std::uint8_t header[header_size];
    encode_header(h, header);
    std::copy(header, header + header_size, out.begin());
    if (size > 0) {
        std::copy(body, body + size, out.begin() + header_size);
    }
    return out;
}

std::optional<Header> parse_header(const std::uint8_t* data, std::size_t size) {
    if (size < header_size) {
        return std::nullopt;
    }
    Header h;
    h.service_id = get16(data);
    h.method_id = get16(data + 2);
    h.length = get32(data + 4);
    h.client_id = get16(data + 8);
    h.session_id = get16(data + 10);
    h.protocol_version = data[12];
    h.interface_version = data[13];
    h.message_type = static_cast<Message_type>(data[14]);
    h.return_code = data[15];
    if (h.length != length_for(size - header_size) || h.protocol_version != protocol_version) {
        return std::nullopt;
    }
    return h;
}

std::optional<std::vector<Sd_entry>> parse_sd_payload(const std::uint8_t* data, std::size_t size) {
    // flags (1), reserved (3), entries length (4), entries, options length (4), options
    if (size < 12) {
        return std::nullopt;
    }
    const std::uint32_t entries_length = get32(data + 4);
    if (entries_length % entry_size != 0 || entries_length > size - 12) {
        return std::nullopt;
    }
    const std::uint8_t* entries = data + 8;
    const std::uint8_t* options_field = entries + entries_length;
    const std::uint32_t options_length = get32(options_field);
    if (options_length != size - 12 - entries_length) {
        return std::nullopt;
    }

    std::vector<Option> options;
    const std::uint8_t* p = options_field + 4;
    std::size_t left = options_length;
    while (left > 0) {
        if (left < 3) {
            return std::nullopt;
        }
        // The option length counts the bytes after the type byte.
        const std::size_t total = static_cast<std::size_t>(get16(p)) + 3;
        if (total > left || total < 4) {
            return std::nullopt;
        }
        Option option{p[2], std::nullopt};
        if (option.type == sd_option_ipv4_endpoint) {
            if (total != ipv4_option_size) {
                return std::nullopt;
            }
            option.endpoint = Ipv4_endpoint{get32(p + 4), get16(p + 10), p[9]};
        }
        options.push_back(option);
        p += total;
        left -= total;
    }

    std::vector<Sd_entry> result;
    for (std::size_t off = 0; off < entries_length; off += entry_size) {
        const std::uint8_t* e = entries + off;
        Sd_entry entry;
        entry.type = e[0];
        const std::size_t index1 = e[1];
        const std::size_t index2 = e[2];
        const std::size_t count1 = e[3] >> 4;
        const std::size_t count2 = e[3] & 0x0f;
        entry.service_id = get16(e + 4);
        entry.instance_id = get16(e + 6);
        entry.major_version = e[8];
        entry.ttl = get24(e + 9);
        if (entry.type == sd_entry_type::subscribe_eventgroup || entry.type == sd_entry_type::subscribe_eventgroup_ack) {
            entry.counter = e[13] & 0x0f;
            entry.eventgroup_id = get16(e + 14);
        } else {
            entry.minor_version = get32(e + 12);
        }
        if ((count1 > 0 && index1 + count1 > options.size()) || (count2 > 0 && index2 + count2 > options.size())) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < count1 + count2 && !entry.endpoint; ++i) {
            const Option& option = options[i < count1 ? index1 + i : index2 + (i - count1)];
            entry.endpoint = option.endpoint;
        }
        result.push_back(entry);
    }
    return result;
}

Sd_entry offer_entry(std::uint16_t service_id, std::uint16_t instance_id, const Ipv4_endpoint& endpoint,
                     std::uint32_t ttl) {
    Sd_entry entry;
    entry.type = sd_entry_type::offer_service;
    entry.service_id = service_id;
    entry.instance_id = instance_id;
    entry.major_version = major_version;
    entry.minor_version = minor_version;
    entry.ttl = ttl;
    entry.endpoint = endpoint;
    entry.endpoint->protocol = l4_udp;
    return entry;
}

std::vector<std::uint8_t> encode_sd_message(std::uint16_t session_id, bool reboot,
                                            const std::vector<Sd_entry>& entries) {
    std::size_t option_count = 0;
    for (const auto& entry : entries) {
        option_count += entry.endpoint ? 1 : 0;
    }
    const std::size_t entries_length = entries.size() * entry_size;
    const std::size_t options_length = option_count * ipv4_option_size;
    const std::size_t payload_size = 12 + entries_length + options_length;
    std::vector<std::uint8_t> out(header_size + payload_size, 0);

    Header h;
    h.service_id = sd_service_id;
    h.method_id = sd_method_id;
    h.length = length_for(payload_size);
    h.session_id = session_id;
    h.message_type = Message_type::notification;
    std::uint8_t header[header_size];
    encode_header(h, header);
    std::copy(header, header + header_size, out.begin());

    std::uint8_t* p = out.data() + header_size;
    p[0] = static_cast<std::uint8_t>((reboot ? 0x80 : 0) | 0x40);
    put32(p + 4, static_cast<std::uint32_t>(entries_length));
    std::uint8_t* e = p + 8;
    std::uint8_t* o = p + 8 + entries_length;
    put32(o, static_cast<std::uint32_t>(options_length));
    o += 4;
    std::size_t option_index = 0;
    for (const auto& entry : entries) {
        e[0] = entry.type;
        if (entry.endpoint) {
            e[1] = static_cast<std::uint8_t>(option_index);
            e[3] = 0x10;
            put16(o, 0x0009);
            o[2] = sd_option_ipv4_endpoint;
            put32(o + 4, entry.endpoint->address);
            o[9] = entry.endpoint->protocol;
            put16(o + 10, entry.endpoint->port);
            o += ipv4_option_size;
            ++option_index;
        }
        put16(e + 4, entry.service_id);
        put16(e + 6, entry.instance_id);
        e[8] = entry.major_version;
        e[9] = static_cast<std::uint8_t>(entry.ttl >> 16);
        e[10] = static_cast<std::uint8_t>(entry.ttl >> 8);
        e[11] = static_cast<std::uint8_t>(entry.ttl);
        if (entry.type == sd_entry_type::subscribe_eventgroup || entry.type == sd_entry_type::subscribe_eventgroup_ack) {
            e[13] = entry.counter & 0x0f;
            put16(e + 14, entry.eventgroup_id);
        } else {
            put32(e + 12, entry.minor_version);
        }
        e += entry_size;
    }
    return out;
}

}  // namespace ux::com::someip
