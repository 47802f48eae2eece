#include "sensor/config/config_document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "sensor/config/limit_conversion.h"

namespace {

using nlohmann::json;

const char* const kType302String = "type must be string, but is ";
const char* const kType302Number = "type must be number, but is ";

// A record whose every member differs from what any test document holds, so
// that untouched members can be told from stored ones.
IDS_instances sentinel() {
    IDS_instances c;
    c.aracom_InstanceId_idsethernetsensor = "old-eth";
    c.IDSEthernetSensor_limit = 777;
    c.aracom_InstanceId_idsipsecuritysensor = "old-ipsec";
    c.IDSIpSecuritySensor_limit = 888;
    return c;
}

std::string document(const std::string& eth_id, const std::string& eth_limit, const std::string& ipsec_id,
                     const std::string& ipsec_limit) {
    return R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": )" + eth_id +
           R"(, "IDSEthernetSensor_limit": )" + eth_limit + R"(, "aracom_InstanceId_idsipsecuritysensor": )" +
           ipsec_id + R"(, "IDSIpSecuritySensor_limit": )" + ipsec_limit + "}}";
}

std::string valid_document() {
    return document(R"("eth-1")", "10", R"("ipsec-1")", "3");
}

void expect_error_contains(const std::optional<std::string>& error, const std::string& part) {
    ASSERT_TRUE(error.has_value()) << "expected a failure containing: " << part;
    EXPECT_NE(error->find(part), std::string::npos) << *error;
}

TEST(ConfigDocument, StoresEachKeyInItsOwnMember) {
    IDS_instances c = sentinel();
    EXPECT_EQ(parse_config_text(valid_document(), c), std::nullopt);
    EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "eth-1");
    EXPECT_EQ(c.IDSEthernetSensor_limit, 10u);
    EXPECT_EQ(c.aracom_InstanceId_idsipsecuritysensor, "ipsec-1");
    EXPECT_EQ(c.IDSIpSecuritySensor_limit, 3u);
}

TEST(ConfigDocument, DefaultRecordIsEmpty) {
    IDS_instances c;
    EXPECT_TRUE(c.aracom_InstanceId_idsethernetsensor.empty());
    EXPECT_TRUE(c.aracom_InstanceId_idsipsecuritysensor.empty());
    EXPECT_EQ(c.IDSEthernetSensor_limit, 0u);
    EXPECT_EQ(c.IDSIpSecuritySensor_limit, 0u);
}

TEST(ConfigDocument, IgnoresOtherMembersAndAcceptsEmptyIdentifier) {
    IDS_instances c = sentinel();
    const std::string text =
        R"({"other": [1, 2], "IDS_config": {"x": null, "aracom_InstanceId_idsethernetsensor": "",
        "IDSEthernetSensor_limit": 1, "aracom_InstanceId_idsipsecuritysensor": "b",
        "IDSIpSecuritySensor_limit": 2, "y": {"z": 1}}, "after": "x"})";
    EXPECT_EQ(parse_config_text(text, c), std::nullopt);
    EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "");
    EXPECT_EQ(c.aracom_InstanceId_idsipsecuritysensor, "b");
}

TEST(ConfigDocument, ReadsOnlyTheFirstValue) {
    for (const std::string tail : {"", "\n", " garbage that is not json {", "{\"IDS_config\": 5}", "]]]"}) {
        IDS_instances c = sentinel();
        EXPECT_EQ(parse_config_text(valid_document() + tail, c), std::nullopt) << "tail: " << tail;
        EXPECT_EQ(c.IDSEthernetSensor_limit, 10u);
    }
}

TEST(ConfigDocument, SkipsUtf8ByteOrderMark) {
    IDS_instances c = sentinel();
    EXPECT_EQ(parse_config_text("\xEF\xBB\xBF" + valid_document(), c), std::nullopt);
    EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "eth-1");
}

TEST(ConfigDocument, RejectsInvalidTextWithSyntaxError) {
    const char* const bad[] = {
        "",                    // empty
        "   \n",               // only blanks
        "{\"IDS_config\": {",  // cut short
        "{'IDS_config': 1}",   // not JSON
        "// comment\n{}",      // comments are not allowed
        "\xEF\xBB",            // broken byte-order mark
    };
    for (const char* text : bad) {
        IDS_instances c = sentinel();
        auto error = parse_config_text(text, c);
        expect_error_contains(error, "[json.exception.parse_error.");
        EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "old-eth") << text;
    }
    IDS_instances c;
    expect_error_contains(parse_config_text("", c), "unexpected end of input");
}

TEST(ConfigDocument, NonObjectTopLevelOrConfigGivesTypeError305) {
    const struct {
        std::string text;
        std::string type;
    } cases[] = {
        {"[1, 2]", "array"},
        {"\"text\"", "string"},
        {"12", "number"},
        {"true", "boolean"},
        {R"({"IDS_config": []})", "array"},
        {R"({"IDS_config": "x"})", "string"},
        {R"({"IDS_config": 1.5})", "number"},
        {R"({"IDS_config": false})", "boolean"},
    };
    for (const auto& t : cases) {
        IDS_instances c = sentinel();
        auto error = parse_config_text(t.text, c);
        expect_error_contains(error, "[json.exception.type_error.305]");
        expect_error_contains(error, "cannot use operator[] with");
        expect_error_contains(error, t.type);
        EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "old-eth");
    }
}

TEST(ConfigDocument, MissingOrNullConfigNamesNullForTheFirstKey) {
    for (const std::string text : {"{}", R"({"IDS_config": null})", R"({"IDS_config": {}})", "null"}) {
        IDS_instances c = sentinel();
        auto error = parse_config_text(text, c);
        expect_error_contains(error, "[json.exception.type_error.302]");
        expect_error_contains(error, std::string(kType302String) + "null");
    }
}

// Keys are read, and stored, in the order: ethernet id, ipsec limit, ipsec
// id, ethernet limit. A failure at one key leaves it and all later ones
// unchanged while the earlier ones keep their new values.
TEST(ConfigDocument, StoresKeysInReadingOrderUpToTheFirstFailure) {
    struct Case {
        std::string text;
        std::string error;
        bool eth_id, ipsec_limit, ipsec_id;  // stored before the failure
    };
    const Case cases[] = {
        {document("1", "10", R"("i")", "3"), std::string(kType302String) + "number", false, false, false},
        {document(R"("e")", "10", R"("i")", R"("3")"), std::string(kType302Number) + "string", true, false,
         false},
        {document(R"("e")", "10", "[]", "3"), std::string(kType302String) + "array", true, true, false},
        {document(R"("e")", "{}", R"("i")", "3"), std::string(kType302Number) + "object", true, true, true},
        {document(R"("e")", "null", R"("i")", "3"), std::string(kType302Number) + "null", true, true, true},
        {document(R"("e")", "10", "true", "3"), std::string(kType302String) + "boolean", true, true, false},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        IDS_instances c = sentinel();
        auto error = parse_config_text(t.text, c);
        expect_error_contains(error, t.error);
        EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, t.eth_id ? "e" : "old-eth");
        EXPECT_EQ(c.IDSIpSecuritySensor_limit, t.ipsec_limit ? 3u : 888u);
        EXPECT_EQ(c.aracom_InstanceId_idsipsecuritysensor, t.ipsec_id ? "i" : "old-ipsec");
        EXPECT_EQ(c.IDSEthernetSensor_limit, 777u);  // read last, never stored here
    }
}

TEST(ConfigDocument, MissingKeysReportTheFirstInReadingOrder) {
    IDS_instances c = sentinel();
    // Both ethernet keys missing: the identifier is read first.
    auto error = parse_config_text(
        R"({"IDS_config": {"aracom_InstanceId_idsipsecuritysensor": "i", "IDSIpSecuritySensor_limit": 3}})",
        c);
    expect_error_contains(error, std::string(kType302String) + "null");
    EXPECT_EQ(c.IDSIpSecuritySensor_limit, 888u);

    // Only the ethernet limit missing: everything else is stored first.
    c = sentinel();
    error = parse_config_text(R"({"IDS_config": {"aracom_InstanceId_idsethernetsensor": "e",
        "aracom_InstanceId_idsipsecuritysensor": "i", "IDSIpSecuritySensor_limit": 3}})",
                              c);
    expect_error_contains(error, std::string(kType302Number) + "null");
    EXPECT_EQ(c.aracom_InstanceId_idsethernetsensor, "e");
    EXPECT_EQ(c.IDSIpSecuritySensor_limit, 3u);
    EXPECT_EQ(c.aracom_InstanceId_idsipsecuritysensor, "i");
    EXPECT_EQ(c.IDSEthernetSensor_limit, 777u);
}

TEST(ConfigDocument, LimitsConvertThroughTheDocument) {
    const struct {
        const char* json;
        std::uint32_t expected;
    } cases[] = {
        {"true", 1u},
        {"false", 0u},
        {"12.9", 12u},
        {"-1", 4294967295u},
        {"-3.5", 0u},
        {"0", 0u},
        {"4294967295", 4294967295u},
        {"4294967296", 0u},  // integer: low 32 bits
        {"4294967297", 1u},
        {"-4294967297", 4294967295u},
        {"18446744073709551615", 4294967295u},
        {"4294967296.0", 4294967295u},  // floating point: saturated
        {"4294967295.9", 4294967295u},
        {"1e300", 4294967295u},
        {"-1e300", 0u},
        {"-0.5", 0u},
        {"0.99", 0u},
        {"1E2", 100u},
        {"18446744073709551616", 4294967295u},  // beyond 64 bits it is a floating-point number
    };
    for (const auto& t : cases) {
        IDS_instances c = sentinel();
        ASSERT_EQ(parse_config_text(document(R"("e")", t.json, R"("i")", t.json), c), std::nullopt) << t.json;
        EXPECT_EQ(c.IDSEthernetSensor_limit, t.expected) << t.json;
        EXPECT_EQ(c.IDSIpSecuritySensor_limit, t.expected) << t.json;
    }
}

TEST(LimitConversion, FloatingPointEdgesAndNonNumbers) {
    EXPECT_EQ(saturate_to_uint32(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(saturate_to_uint32(std::numeric_limits<double>::infinity()), 4294967295u);
    EXPECT_EQ(saturate_to_uint32(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(saturate_to_uint32(4294967294.99), 4294967294u);
    EXPECT_EQ(to_limit(json(std::nan(""))), 0u);

    for (const json& bad : {json("10"), json(nullptr), json::array(), json::object()}) {
        try {
            to_limit(bad);
            ADD_FAILURE() << "no error for " << bad.dump();
        } catch (const json::type_error& e) {
            EXPECT_EQ(e.id, 302);
            EXPECT_NE(std::string(e.what()).find(std::string(kType302Number) + bad.type_name()),
                      std::string::npos)
                << e.what();
        }
    }
}

}  // namespace
