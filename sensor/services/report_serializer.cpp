#include "sensor/services/report_serializer.h"

#include <stdexcept>
#include <string>
#include <type_traits>

namespace ksr::services {
namespace {

namespace eth = idsethernetsensor::datatypes;
namespace ipsec = idsipsecuritysensor::datatypes;
using oq::com::runtime::Payload_buffer;

// Members in declaration order; the same list drives the size and the write pass.
template <typename F>
void for_each_member(const eth::DT_specialFrameReports_struct& r, F&& f) {
    f(r.reportTypeId), f(r.swId), f(r.timestamp), f(r.payload), f(r.frameType), f(r.truncatedLength);
}
template <typename F>
void for_each_member(const eth::DT_serviceDiscoveryReports_struct& r, F&& f) {
    f(r.reportTypeId), f(r.swId), f(r.timestamp), f(r.reserved4), f(r.reserved5), f(r.payload), f(r.truncatedLength);
}
template <typename F>
void for_each_member(const eth::DT_classifierMatchReports_struct& r, F&& f) {
    f(r.reportTypeId), f(r.swId), f(r.timestamp), f(r.reserved4), f(r.logPrefix), f(r.payload), f(r.truncatedLength);
}
template <typename F>
void for_each_member(const eth::DT_trafficFlowSamples_struct& r, F&& f) {
    f(r.reportTypeId), f(r.swId), f(r.timestamp), f(r.sourceIpAddr), f(r.destinationIpAddr), f(r.reserved6),
        f(r.reserved7), f(r.protocol), f(r.sourcePort), f(r.destinationPort), f(r.packets), f(r.bytes);
}
template <typename F>
void for_each_member(const ipsec::DT_firewallFilterReports_struct& r, F&& f) {
    f(r.reportTypeId), f(r.swId), f(r.timestamp), f(r.reserved4), f(r.reserved5), f(r.logPrefix), f(r.payload),
        f(r.truncatedLength);
}

constexpr std::size_t tag_size = 2;

template <typename T>
constexpr unsigned wire_type_of() {
    if constexpr (std::is_enum_v<T>) {
        static_assert(sizeof(T) == 4, "enumerations are 32 bits wide");
        return 2;
    } else if constexpr (std::is_integral_v<T>) {
        static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8, "no 8-bit members");
        return sizeof(T) == 2 ? 1 : sizeof(T) == 4 ? 2 : 3;
    } else {
        return 7;  // the 8-byte array, strings and byte arrays
    }
}

// Encoded size of one present member, tag included.
template <typename T>
std::size_t member_size(const T& value, const Serializer_config& config) {
    constexpr unsigned wire_type = wire_type_of<T>();
    if constexpr (wire_type != 7) {
        return tag_size + sizeof(T);
    } else {
        return tag_size + length_field_size_for_wire_type(wire_type, config) + value.size();
    }
}

class Writer {
public:
    Writer(Payload_buffer& out, const Serializer_config& config) : m_out(out), m_config(config) {}

    template <typename Record>
    std::size_t content_size(const Record& record) {
        m_count = 0;
        for_each_member(record, [this](const auto& member) {
            if (member) {
                m_count += member_size(*member, m_config);
            }
        });
        return m_count;
    }

    void unsigned_value(std::uint64_t value, std::size_t bytes) {
        if (m_config.byte_order == 1234) {
            for (std::size_t i = 0; i < bytes; ++i) {
                m_out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            }
        } else {
            for (std::size_t i = bytes; i-- > 0;) {
                m_out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            }
        }
    }

    void tag(unsigned wire_type) {
        // Data ID 0: readers go by member order.
        m_out.push_back(static_cast<std::uint8_t>((wire_type & 0x7) << 4));
        m_out.push_back(0);
    }

    void check_array_length_field() const {
        if (m_config.array_length_field_size == 0) {
            throw std::invalid_argument(
                "Vectors must have a length field that deserializer can also deserialize it. Violation of "
                "PRS_SOMEIP_00376 & PRS_SOMEIP_00107!");
        }
    }

    void check_string_length_field() const {
        if (m_config.string_length_field_size == 0) {
            throw std::invalid_argument("Dynamic strings must have a length field. Violation of PRS_SOMEIP_00089!");
        }
    }

    template <typename T>
    void member(const T& value) {
        constexpr unsigned wire_type = wire_type_of<T>();
        tag(wire_type);
        if constexpr (wire_type != 7) {
            using U = std::conditional_t<std::is_enum_v<T>, std::underlying_type<T>, std::common_type<T>>;
            unsigned_value(static_cast<std::uint64_t>(static_cast<typename U::type>(value)), sizeof(T));
        } else {
            write_length_field(m_out, m_config, length_field_size_for_wire_type(wire_type, m_config), value.size());
            if constexpr (std::is_same_v<T, std::string>) {
                check_string_length_field();
            } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
                check_array_length_field();
            }
            m_out.insert(m_out.end(), value.begin(), value.end());
        }
    }

    template <typename Record>
    void list(const std::vector<Record>& records) {
        std::size_t array_length = 0;
        for (const auto& record : records) {
            array_length += m_config.struct_length_field_size + content_size(record);
        }
        m_out.reserve(m_out.size() + m_config.array_length_field_size + array_length);
        write_length_field(m_out, m_config, m_config.array_length_field_size, array_length);
        check_array_length_field();
        for (const auto& record : records) {
            write_length_field(m_out, m_config, m_config.struct_length_field_size, content_size(record));
            for_each_member(record, [this](const auto& m) {
                if (m) {
                    member(*m);
                }
            });
        }
    }

private:
    Payload_buffer& m_out;
    const Serializer_config& m_config;
    std::size_t m_count = 0;  // running byte count of the size pass
};

template <typename Record>
void serialize_list(const std::vector<Record>& list, Payload_buffer& out, const Serializer_config& config) {
    Writer(out, config).list(list);
}

}  // namespace

void write_length_field(Payload_buffer& out, const Serializer_config& config, std::size_t size, std::uint64_t value) {
    std::uint64_t limit;
    switch (size) {
        case 0:
            return;
        case 1:
            limit = 0xff;
            break;
        case 2:
            limit = 0xffff;
            break;
        case 4:
            limit = 0xffffffffu;
            break;
        default:
            throw std::invalid_argument("Invalid value for length field size.");
    }
    if (value > limit) {
        throw std::overflow_error("Calculated record length does not fit into configured length field");
    }
    Writer(out, config).unsigned_value(value, size);
}

std::size_t length_field_size_for_wire_type(unsigned wire_type, const Serializer_config& config) {
    switch (wire_type) {
        case 5:
            return 1;
        case 6:
            return 2;
        case 7:
            return 4;
        case 4:
            if (config.array_length_field_size != config.string_length_field_size ||
                config.string_length_field_size != config.struct_length_field_size ||
                config.array_length_field_size == 0) {
                throw std::runtime_error(
                    "Violation of COM.PRS_SOMEIP_00215: All length fields must have same size and not be 0 when wire "
                    "type 4 is used (" +
                    std::to_string(config.array_length_field_size) + "," +
                    std::to_string(config.string_length_field_size) + "," +
                    std::to_string(config.struct_length_field_size) + ")");
            }
            return config.array_length_field_size;
        default:
            return 0;
    }
}

void serialize(const std::vector<eth::DT_specialFrameReports_struct>& list, Payload_buffer& out,
               const Serializer_config& config) {
    serialize_list(list, out, config);
}
void serialize(const std::vector<eth::DT_serviceDiscoveryReports_struct>& list, Payload_buffer& out,
               const Serializer_config& config) {
    serialize_list(list, out, config);
}
void serialize(const std::vector<eth::DT_classifierMatchReports_struct>& list, Payload_buffer& out,
               const Serializer_config& config) {
    serialize_list(list, out, config);
}
void serialize(const std::vector<eth::DT_trafficFlowSamples_struct>& list, Payload_buffer& out,
               const Serializer_config& config) {
    serialize_list(list, out, config);
}
void serialize(const std::vector<ipsec::DT_firewallFilterReports_struct>& list, Payload_buffer& out,
               const Serializer_config& config) {
    serialize_list(list, out, config);
}

}  // namespace ksr::services
