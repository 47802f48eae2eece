#include "status_getter.h"

#include <cstring>

namespace ql {

bool Status_getter::String(const char* text, rapidjson::SizeType length, bool) {
    if (m_expect_status) {
        m_container_status.assign(text, length);
    }
    return true;
}

bool Status_getter::StartObject() {
    ++m_depth;
    m_expect_status = false;
    return true;
}

bool Status_getter::Key(const char* text, rapidjson::SizeType length, bool) {
    // Only members of the outermost object count; nested "status" keys are ignored.
    if (m_depth == 1) {
        m_expect_status = length == 6 && std::memcmp(text, "status", 6) == 0;
    }
    return true;
}

bool Status_getter::EndObject(rapidjson::SizeType) {
    m_expect_status = false;
    --m_depth;
    return true;
}

bool Status_getter::StartArray() {
    ++m_depth;
    m_expect_status = false;
    return true;
}

bool Status_getter::EndArray(rapidjson::SizeType) {
    m_expect_status = false;
    --m_depth;
    return true;
}

std::string runc_state_status(const std::string& runc_output) {
    Status_getter sax_handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(runc_output.c_str());
    reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, sax_handler);
    return sax_handler.m_container_status;
}

}  // namespace ql
