// The binding side of one service skeleton: offer port, method dispatcher
// and offer-condition checks.
#pragma once

#include <string>

#include "com/binding/field_handler.h"
#include "com/binding/method_dispatcher.h"
#include "com/binding/pport.h"

namespace ux::com::cpp_binding::skeleton {

class Skeleton_impl {
public:
    // processing_mode: 1 parallel, 2 sequential, other values no method
    // processing. Needs a live ux::com::runtime::Component_singleton.
    Skeleton_impl(const std::string& service_name, const std::string& instance,
                  Service_interface_description description, int processing_mode);
    ~Skeleton_impl();
    Skeleton_impl(const Skeleton_impl&) = delete;
    Skeleton_impl& operator=(const Skeleton_impl&) = delete;

    Pport& port() noexcept { return m_port; }
    Method_dispatcher& dispatcher() noexcept { return m_dispatcher; }
    Field_handler& field_handler() noexcept { return m_field_handler; }

    // Runs the offer-condition checks, starts the dispatcher and the port.
    void offer_service();
    // Stops the port, then the dispatcher; repeatable.
    void stop_offer_service();
    // The same without the trace record, for the skeleton's destructor: it
    // must run before the fields that the port and dispatcher reach go away.
    void shutdown();
    void log_constructed();

private:
    void trace(const char* id);

    Pport m_port;
    Method_dispatcher m_dispatcher;
    Field_handler m_field_handler;
};

}  // namespace ux::com::cpp_binding::skeleton
