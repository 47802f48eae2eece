#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ux::com {

// A binding object was used in a state that does not allow the call.
class Illegal_state_exception : public std::logic_error {
public:
    explicit Illegal_state_exception(const std::string& what) : std::logic_error(what) {}
};

// An application-level error that a method implementation answers with its
// code and an empty payload.
class Application_error_exception : public std::runtime_error {
public:
    Application_error_exception(std::uint8_t code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    std::uint8_t code() const noexcept { return m_code; }

private:
    std::uint8_t m_code;
};

}  // namespace ux::com
