#include "sensor/services/report_serializer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "someip_client.h"

namespace {

using namespace ksr::services;
namespace eth = ksr::services::idsethernetsensor::datatypes;
namespace ipsec = ksr::services::idsipsecuritysensor::datatypes;
using someip_test::from_hex;
using someip_test::to_hex;

template <typename Record>
std::string hex_of(const std::vector<Record>& list, const Serializer_config& config = {}) {
    oq::com::runtime::Payload_buffer out;
    serialize(list, out, config);
    return to_hex(out);
}

std::string strip(std::string hex) {
    std::string s;
    for (char c : hex) {
        if (c != ' ') {
            s.push_back(c);
        }
    }
    return s;
}

eth::DT_specialFrameReports_struct worked_example() {
    eth::DT_specialFrameReports_struct r;
    r.reportTypeId = eth::special_frame_report_type_id;
    r.swId = 265;
    r.timestamp = 258;
    r.payload = eth::Byte_array{1, 2, 3};
    r.frameType = eth::Special_frame_type::DHCPv6;
    r.truncatedLength = 0;
    return r;
}

eth::DT_trafficFlowSamples_struct flow_sample() {
    eth::DT_trafficFlowSamples_struct r;
    r.reportTypeId = eth::traffic_flow_sample_type_id;
    r.swId = 42;
    r.timestamp = 0x100000000ull;
    r.sourceIpAddr = "10.0.0.1";
    r.destinationIpAddr = "192.168.1.1";
    r.protocol = eth::Ip_protocol::UDP;
    r.sourcePort = 0x1234;
    r.destinationPort = 53;
    r.packets = 0xdeadbeef;
    r.bytes = 0x0123456789abcdefull;
    return r;
}

TEST(ReportSerializer, WorkedExampleIsByteExact) {
    EXPECT_EQ(hex_of(std::vector{worked_example()}),
              strip("00000033 0000002f"
                    "7000 00000008 7d0c36c4fce445fc"
                    "1000 0109"
                    "3000 0000000000000102"
                    "7000 00000003 010203"
                    "2000 00000001"
                    "1000 0000"));
}

TEST(ReportSerializer, EmptyListIsFourZeroBytes) {
    EXPECT_EQ(hex_of(std::vector<eth::DT_specialFrameReports_struct>{}), "00000000");
    EXPECT_EQ(hex_of(std::vector<ipsec::DT_firewallFilterReports_struct>{}), "00000000");
}

TEST(ReportSerializer, RecordWithoutMembersIsAnEmptyStruct) {
    EXPECT_EQ(hex_of(std::vector<eth::DT_trafficFlowSamples_struct>(1)), "0000000400000000");
    EXPECT_EQ(hex_of(std::vector<eth::DT_classifierMatchReports_struct>(2)), "000000080000000000000000");
}

TEST(ReportSerializer, PresentEmptyStringAndBytesKeepTheirTagAndLength) {
    eth::DT_classifierMatchReports_struct r;
    r.logPrefix = "";
    r.payload = eth::Byte_array{};
    EXPECT_EQ(hex_of(std::vector{r}), strip("00000010 0000000c 7000 00000000 7000 00000000"));
}

TEST(ReportSerializer, FlowSampleWithTenMembersIs97Bytes) {
    const std::string hex = hex_of(std::vector{flow_sample()});
    EXPECT_EQ(hex.size(), 97u * 2);
    EXPECT_EQ(hex, strip("0000005d 00000059"
                         "7000 00000008 c3085024bc0047d9"
                         "1000 002a"
                         "3000 0000000100000000"
                         "7000 00000008 31302e302e302e31"
                         "7000 0000000b 3139322e3136382e312e31"
                         "2000 00000011"
                         "1000 1234"
                         "1000 0035"
                         "2000 deadbeef"
                         "3000 0123456789abcdef"));
}

TEST(ReportSerializer, EveryRecordTypeWithEveryMember) {
    eth::DT_specialFrameReports_struct special = worked_example();
    special.frameType = eth::Special_frame_type::DoIP;
    special.truncatedLength = 7;
    EXPECT_EQ(hex_of(std::vector{special}), strip("00000033 0000002f"
                                                  "7000 00000008 7d0c36c4fce445fc 1000 0109"
                                                  "3000 0000000000000102 7000 00000003 010203"
                                                  "2000 00000005 1000 0007"));

    eth::DT_serviceDiscoveryReports_struct sd;
    sd.reportTypeId = eth::service_discovery_report_type_id;
    sd.swId = 42;
    sd.timestamp = 0x1122334455667788ull;
    sd.reserved4 = 0xaaaa;
    sd.reserved5 = 0xbbbb;
    sd.payload = eth::Byte_array{0xff};
    sd.truncatedLength = 0x100;
    EXPECT_EQ(hex_of(std::vector{sd}), strip("00000033 0000002f"
                                             "7000 00000008 00adfc5d1d4f4578 1000 002a"
                                             "3000 1122334455667788 1000 aaaa 1000 bbbb"
                                             "7000 00000001 ff 1000 0100"));

    eth::DT_classifierMatchReports_struct cm;
    cm.reportTypeId = eth::classifier_match_report_type_id;
    cm.swId = 264;
    cm.timestamp = 1;
    cm.reserved4 = 0x1234;
    cm.logPrefix = "ab";
    cm.payload = eth::Byte_array{0, 1};
    cm.truncatedLength = 0;
    EXPECT_EQ(hex_of(std::vector{cm}), strip("00000038 00000034"
                                             "7000 00000008 4e83494f6bbd4b56 1000 0108"
                                             "3000 0000000000000001 1000 1234"
                                             "7000 00000002 6162 7000 00000002 0001 1000 0000"));

    ipsec::DT_firewallFilterReports_struct fw;
    fw.reportTypeId = ipsec::firewall_filter_report_type_id;
    fw.swId = 266;
    fw.timestamp = ~0ull;
    fw.reserved4 = "r";
    fw.reserved5 = 5;
    fw.logPrefix = "fw";
    fw.payload = ipsec::Byte_array{0x42};
    fw.truncatedLength = 0xffff;
    EXPECT_EQ(hex_of(std::vector{fw}), strip("0000003e 0000003a"
                                             "7000 00000008 9675ff722c7c473c 1000 010a"
                                             "3000 ffffffffffffffff 7000 00000001 72 1000 0005"
                                             "7000 00000002 6677 7000 00000001 42 1000 ffff"));

    eth::DT_trafficFlowSamples_struct flow = flow_sample();
    flow.reserved6 = "x";
    flow.reserved7 = "";
    EXPECT_EQ(hex_of(std::vector{flow}), strip("0000006a 00000066"
                                               "7000 00000008 c3085024bc0047d9 1000 002a"
                                               "3000 0000000100000000"
                                               "7000 00000008 31302e302e302e31"
                                               "7000 0000000b 3139322e3136382e312e31"
                                               "7000 00000001 78 7000 00000000"
                                               "2000 00000011 1000 1234 1000 0035"
                                               "2000 deadbeef 3000 0123456789abcdef"));
}

TEST(ReportSerializer, ListOfTwoRecordsCountsBothStructs) {
    eth::DT_specialFrameReports_struct empty;
    const std::string hex = hex_of(std::vector{worked_example(), empty});
    // 51 for the first record plus 4 for the empty one
    EXPECT_EQ(hex.substr(0, 8), "00000037");
    EXPECT_EQ(hex.substr(hex.size() - 8), "00000000");
    EXPECT_EQ(hex.size(), (4 + 51 + 4) * 2u);
}

TEST(ReportSerializer, MaximalPayloadAndCopiedPresence) {
    eth::DT_specialFrameReports_struct r;
    r.payload = eth::Byte_array(eth::max_report_payload, 0xab);
    r.truncatedLength = 1;
    const eth::DT_specialFrameReports_struct copy = r;
    EXPECT_FALSE(copy.reportTypeId.has_value());
    EXPECT_FALSE(copy.frameType.has_value());
    const std::string hex = hex_of(std::vector{copy});
    // 6 + 1522 + 4 content bytes
    EXPECT_EQ(hex.substr(0, 16), "00000600000005fc");
    EXPECT_EQ(hex.substr(16, 12), "7000000005f2");
}

TEST(ReportSerializer, LittleEndianConfigurationReversesNumbersNotTags) {
    Serializer_config config;
    config.byte_order = 1234;
    EXPECT_EQ(hex_of(std::vector{worked_example()}, config),
              strip("33000000 2f000000"
                    "7000 08000000 7d0c36c4fce445fc"
                    "1000 0901"
                    "3000 0201000000000000"
                    "7000 03000000 010203"
                    "2000 01000000"
                    "1000 0000"));
}

TEST(ReportSerializer, LengthFieldChecks) {
    oq::com::runtime::Payload_buffer out;
    Serializer_config config;
    try {
        write_length_field(out, config, 3, 1);
        FAIL() << "size 3 accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid value for length field size.");
    }
    try {
        write_length_field(out, config, 1, 256);
        FAIL() << "256 fitted into one byte";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "Calculated record length does not fit into configured length field");
    }
    EXPECT_THROW(write_length_field(out, config, 2, 65536), std::overflow_error);
    EXPECT_TRUE(out.empty());
    write_length_field(out, config, 2, 65535);
    write_length_field(out, config, 0, 12345);
    EXPECT_EQ(to_hex(out), "ffff");

    // A struct length field of one byte cannot hold a large record.
    config.struct_length_field_size = 1;
    eth::DT_specialFrameReports_struct big;
    big.payload = eth::Byte_array(300);
    oq::com::runtime::Payload_buffer list_out;
    EXPECT_THROW(serialize(std::vector{big}, list_out, config), std::overflow_error);
}

TEST(ReportSerializer, ConfigurationWithoutLengthFieldsIsRejected) {
    oq::com::runtime::Payload_buffer out;
    Serializer_config no_array;
    no_array.array_length_field_size = 0;
    try {
        serialize(std::vector<eth::DT_specialFrameReports_struct>{}, out, no_array);
        FAIL() << "array without length field accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "Vectors must have a length field that deserializer can also deserialize it. Violation of "
                     "PRS_SOMEIP_00376 & PRS_SOMEIP_00107!");
    }

    Serializer_config no_string;
    no_string.string_length_field_size = 0;
    eth::DT_classifierMatchReports_struct r;
    r.logPrefix = "x";
    try {
        serialize(std::vector{r}, out, no_string);
        FAIL() << "string without length field accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Dynamic strings must have a length field. Violation of PRS_SOMEIP_00089!");
    }

    Serializer_config mixed;
    mixed.struct_length_field_size = 2;
    EXPECT_EQ(length_field_size_for_wire_type(4, Serializer_config{}), 4u);
    EXPECT_EQ(length_field_size_for_wire_type(5, mixed), 1u);
    EXPECT_EQ(length_field_size_for_wire_type(6, mixed), 2u);
    EXPECT_EQ(length_field_size_for_wire_type(3, mixed), 0u);
    try {
        length_field_size_for_wire_type(4, mixed);
        FAIL() << "unequal sizes accepted for wire type 4";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "Violation of COM.PRS_SOMEIP_00215: All length fields must have same size and not be 0 when "
                     "wire type 4 is used (4,4,2)");
    }
}

TEST(ReportSerializer, SharedPayloadHoldsTheSerializedList) {
    auto payload = serialize_payload(std::vector{worked_example()});
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->size(), 55u);
    EXPECT_EQ(to_hex(*payload).substr(0, 16), "000000330000002f");
}

}  // namespace
