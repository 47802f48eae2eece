#include "sensor/seams/platform_extensions.h"

#include "ara/phm/alive_watchdog.h"
#include "com/deployment.h"

namespace platform_extensions {

std::uint16_t instance_id(std::string_view configured) {
    return ux::com::cpp_binding::instance_id_from_string(configured);
}

struct Loop_supervision::Impl {
    explicit Impl(std::size_t loops) : watchdog(loops) {}
    ara::phm::Alive_watchdog watchdog;
};

Loop_supervision::Loop_supervision(std::size_t loops) : m_impl(std::make_unique<Impl>(loops)) {}
Loop_supervision::~Loop_supervision() = default;

void Loop_supervision::passed(std::size_t loop) noexcept { m_impl->watchdog.pass(loop); }

}  // namespace platform_extensions
