// Collects the checks that must pass before a service may be offered.
#pragma once

#include <functional>
#include <vector>

namespace ux::com::cpp_binding::skeleton {

class Field_handler {
public:
    using Check = std::function<void()>;  // throws when the offer must not go ahead

    void register_offer_cond_check(Check check) { m_checks.push_back(std::move(check)); }
    void run_offer_cond_checks() const {
        for (const auto& check : m_checks) {
            check();
        }
    }

private:
    std::vector<Check> m_checks;
};

}  // namespace ux::com::cpp_binding::skeleton
