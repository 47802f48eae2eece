#include "com/binding/skeleton_impl.h"

#include "com/endpoint/binding_logger.h"
#include "com/binding/component_singleton.h"

namespace ux::com::cpp_binding::skeleton {

Skeleton_impl::Skeleton_impl(const std::string& service_name, const std::string& instance,
                             Service_interface_description description, int processing_mode)
    : m_port(service_name, instance, description),
      m_dispatcher(m_port, make_method_processor(processing_mode, runtime::Component_singleton::instance()
                                                                      .get_thread_pool_factory()
                                                                      .get_thread_pool(1))) {}

Skeleton_impl::~Skeleton_impl() { shutdown(); }

void Skeleton_impl::offer_service() {
    trace("Offer_service");
    m_field_handler.run_offer_cond_checks();
    m_dispatcher.start();
    m_port.start_offer();
}

void Skeleton_impl::stop_offer_service() {
    trace("Stop_offer_service");
    shutdown();
}

void Skeleton_impl::shutdown() {
    m_port.stop_offer();
    m_dispatcher.stop();
}

void Skeleton_impl::log_constructed() { trace("Service_skeleton_constructed"); }

void Skeleton_impl::trace(const char* id) {
    if (logger().IsLogEnabled(ara::log::LogLevel::kInfo)) {
        log_trace(ara::log::LogLevel::kInfo, trace_record(id, m_port.service_id(), m_port.instance_id()));
    }
}

}  // namespace ux::com::cpp_binding::skeleton
