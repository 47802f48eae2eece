// Event handler for rapidjson's reader that keeps only the top-level "status"
// string of the JSON object that "runc state" prints.
#pragma once

#include <rapidjson/reader.h>

#include <cstdint>
#include <string>

namespace ql {

class Status_getter {
public:
    bool Null() { return true; }
    bool Bool(bool) { return true; }
    bool Int(int) { return true; }
    bool Uint(unsigned) { return true; }
    bool Int64(std::int64_t) { return true; }
    bool Uint64(std::uint64_t) { return true; }
    bool Double(double) { return true; }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return true; }
    bool String(const char* text, rapidjson::SizeType length, bool copy);
    bool StartObject();
    bool Key(const char* text, rapidjson::SizeType length, bool copy);
    bool EndObject(rapidjson::SizeType member_count);
    bool StartArray();
    bool EndArray(rapidjson::SizeType element_count);

    std::string m_container_status;

private:
    std::int32_t m_depth = 0;
    bool m_expect_status = false;
};

// The top-level "status" of what "runc state" printed; empty when there is
// none or the text is not a JSON object.
std::string runc_state_status(const std::string& runc_output);

}  // namespace ql
