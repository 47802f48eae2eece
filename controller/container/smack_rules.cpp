// The container's SMACK rules and the label of the calling process.
// Part of the container unit: its assertions name container.cpp.
#define QL_SOURCE_FILE "container.cpp"

#include <cerrno>
#include <string>

#include "controller/container/container.h"
#include "controller/log/log.h"

namespace ql {

namespace {

const char* const smackload = "/usr/bin/smackload";
constexpr int smackload_timeout_seconds = 10;

}  // namespace

Smack_rules Container::load_smack_rules() {
    const std::string rules = m_content_dir + "/smack-rules";
    if (!m_fs->exists(rules)) {
        LOG_DEBUG(m_name, " No smack rule file: ", rules);
        return Smack_rules();
    }
    log_marker("SMACK_LOAD", m_name);
    const char* argv[] = {smackload, rules.c_str(), nullptr};
    if (m_sys->command(argv, nullptr, std::string(), smackload_timeout_seconds) != 0) {
        LOG_ERROR(m_name, " loading smack rules failed: ", errno);
        // The loader takes the rules line by line: those before the one it
        // refused are in the kernel and must not stay there.
        unload_smack_rules();
        check_failed("m_sys->command(argv, nullptr) == 0", QL_SOURCE_FILE, __LINE__, "");
    }
    return Smack_rules(*this);
}

bool Container::unload_smack_rules() {
    const std::string rules = m_content_dir + "/smack-rules";
    if (!m_fs->exists(rules)) {
        LOG_DEBUG(m_name, " No smack rule file for unloading: ", rules);
        return true;
    }
    log_marker("SMACK_UNLOAD", m_name);
    const char* argv[] = {smackload, "-c", rules.c_str(), nullptr};
    if (m_sys->command(argv, nullptr, std::string(), smackload_timeout_seconds) != 0) {
        LOG_ERROR(m_name, " unloading smack rules failed: ", errno);
        return false;
    }
    return true;
}

std::string Container::check_smack_label(const Smack_interfaces& interfaces) const {
    std::string label;
    bool has_invalid_label = false;
    // Where another module is active, "current" holds its context, not a SMACK label.
    if (smack_is_active(interfaces)) {
        const Smack_label_read read = read_smack_label(interfaces.current);
        label = read.label;
        has_invalid_label = read.too_long || (!label.empty() && !is_acceptable_smack_label(label));
    }
    QL_CHECK((has_invalid_label == false), "SMACK label: ", label,
             " is incorrect. Allowed characters: ASCII letters, digits, '_' and '-' (hyphen not "
             "allowed at first position). Allowed length: 2-255 or single underscore. "
             "Single-character labels: \"*\" and \"^\" are also allowed but not recommended.");
    return label;
}

}  // namespace ql
