// Reading the configuration document into IDS_instances. Pure: no logging,
// no global state, never throws.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "sensor/config/ids_instances.h"

// Parses the first JSON value of the stream (the rest is left unread; a
// UTF-8 byte-order mark at the start is skipped) and stores the four values
// of its "IDS_config" object, each right after it was converted, in the
// order: aracom_InstanceId_idsethernetsensor, IDSIpSecuritySensor_limit,
// aracom_InstanceId_idsipsecuritysensor, IDSEthernetSensor_limit. Members
// stored before a failure keep their new values.
// Returns nothing on success, else the JSON library's exception text; then
// `place`, when given, says where the document went wrong: the line and
// column of a syntax error, or the member being converted and the type it
// needs.
std::optional<std::string> parse_config_document(std::istream& in, IDS_instances& config,
                                                 std::string* place = nullptr);
std::optional<std::string> parse_config_text(std::string_view text, IDS_instances& config);
