// One method of a service: the handler that runs for each call and the
// reply back to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "com/binding/method_dispatcher.h"
#include "com/binding/port_interfaces.h"
#include "com/binding/serialized_payload.h"

namespace ux::com::cpp_binding::skeleton {

class Method_impl_base : public Method_handler {
public:
    using Handler = std::function<void(const Reply_function&, const std::vector<std::uint8_t>& request)>;

    // Registers itself with the dispatcher under the index.
    Method_impl_base(std::uint16_t index, Handler handler, Method_dispatcher& dispatcher);
    ~Method_impl_base() override;
    Method_impl_base(const Method_impl_base&) = delete;
    Method_impl_base& operator=(const Method_impl_base&) = delete;

    std::uint16_t index() const noexcept { return m_index; }
    // Runs one call; called by the dispatcher on a processor thread.
    void handle_call(const Method_request& request) override;
    static void reply_method(const Reply_function& reply, const oq::com::runtime::Shared_payload& payload,
                             std::uint8_t return_code);

protected:
    const Handler& handler() const noexcept { return m_handler; }

private:
    std::uint16_t m_index;
    Handler m_handler;
    Method_dispatcher& m_dispatcher;
};

// A method whose handler may fail: an application error is answered with its
// code, anything else is logged and answered E_NOT_OK so the caller is not
// left waiting.
class Method_impl : public Method_impl_base {
public:
    Method_impl(std::uint16_t index, Handler handler, Method_dispatcher& dispatcher, std::uint16_t service_id,
                std::uint16_t instance_id);
    void handle_call(const Method_request& request) override;

private:
    std::uint16_t m_service_id;
    std::uint16_t m_instance_id;
};

}  // namespace ux::com::cpp_binding::skeleton
