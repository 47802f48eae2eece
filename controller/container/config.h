// Reads the numeric user and group of the main process from an OCI runtime
// configuration file ("process"."user"."uid"/"gid").
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "controller/system/unique_fd.h"

namespace ql {

template <typename FS>
class Config {
public:
    explicit Config(FS* fs) : m_fs(fs) {}
    virtual ~Config() = default;

    // True when both ids were found; they are then in uid and gid. Every problem
    // (no file, invalid JSON, missing members, ids that are not 32-bit signed
    // integers) is a false result, never an error.
    virtual bool read_process_user(const std::string& path) {
        if (m_fs == nullptr) {
            return false;
        }
        const Unique_file file(std::fopen(path.c_str(), "r"));
        if (file == nullptr) {
            return false;
        }
        char buffer[2048];
        rapidjson::FileReadStream stream(file.get(), buffer, sizeof(buffer));
        rapidjson::Document document;
        // Iterative: a deeply nested file must not exhaust the stack.
        document.ParseStream<rapidjson::kParseIterativeFlag>(stream);
        return take_process_user(document);
    }

    // The same over a text already in memory.
    bool read_process_user_text(const std::string& text) {
        rapidjson::Document document;
        document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
        return take_process_user(document);
    }

    FS* m_fs;
    std::int32_t gid = -1;
    std::int32_t uid = -1;

private:
    bool take_process_user(const rapidjson::Document& document) {
        if (document.HasParseError() || !document.IsObject()) {
            return false;
        }
        auto process = document.FindMember("process");
        if (process == document.MemberEnd() || !process->value.IsObject()) {
            return false;
        }
        auto user = process->value.FindMember("user");
        if (user == process->value.MemberEnd() || !user->value.IsObject()) {
            return false;
        }
        auto json_uid = user->value.FindMember("uid");
        auto json_gid = user->value.FindMember("gid");
        if (json_uid == user->value.MemberEnd() || json_gid == user->value.MemberEnd()) {
            return false;
        }
        // GetInt() on anything but a 32-bit integer would abort inside rapidjson.
        if (!json_uid->value.IsInt() || !json_gid->value.IsInt()) {
            return false;
        }
        uid = json_uid->value.GetInt();
        gid = json_gid->value.GetInt();
        return true;
    }
};

}  // namespace ql
