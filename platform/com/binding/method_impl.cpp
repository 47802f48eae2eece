#include "com/binding/method_impl.h"

#include "com/endpoint/binding_logger.h"
#include "com/binding/illegal_state_exception.h"
#include "com/wire/someip_message.h"

namespace ux::com::cpp_binding::skeleton {

Method_impl_base::Method_impl_base(std::uint16_t index, Handler handler, Method_dispatcher& dispatcher)
    : m_index(index), m_handler(std::move(handler)), m_dispatcher(dispatcher) {
    m_dispatcher.register_method(m_index, this);
}

Method_impl_base::~Method_impl_base() { m_dispatcher.unregister_method(m_index); }

void Method_impl_base::handle_call(const Method_request& request) { m_handler(request.reply, request.payload); }

void Method_impl_base::reply_method(const Reply_function& reply, const oq::com::runtime::Shared_payload& payload,
                                    std::uint8_t return_code) {
    send_method_reply(reply, payload, return_code);
}

Method_impl::Method_impl(std::uint16_t index, Handler handler, Method_dispatcher& dispatcher,
                         std::uint16_t service_id, std::uint16_t instance_id)
    : Method_impl_base(index, std::move(handler), dispatcher), m_service_id(service_id), m_instance_id(instance_id) {}

void Method_impl::handle_call(const Method_request& request) {
    try {
        try {
            handler()(request.reply, request.payload);
        } catch (const Application_error_exception& e) {
            reply_method(request.reply, nullptr, e.code());
        }
    } catch (const std::exception& e) {
        if (logger().IsLogEnabled(ara::log::LogLevel::kFatal)) {
            auto record = trace_record("Method_call_request_exception", m_service_id, m_instance_id);
            record["1_incident"]["4_method_id"] = index();
            record["1_incident"]["5_what"] = e.what();
            log_trace(ara::log::LogLevel::kFatal, record);
        }
        reply_method(request.reply, nullptr, someip::return_code::e_not_ok);
    }
}

}  // namespace ux::com::cpp_binding::skeleton
