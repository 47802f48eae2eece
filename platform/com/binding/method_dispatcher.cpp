#include "com/binding/method_dispatcher.h"

#include "com/endpoint/binding_logger.h"
#include "com/wire/someip_message.h"

namespace ux::com::cpp_binding::skeleton {
namespace {

// Calls taken but not finished, queued ones included. Beyond it a flood of
// requests is dropped instead of filling memory.
constexpr std::size_t max_queued_calls = 64;

}  // namespace

bool Parallel_method_processor::process(Task task) {
    m_pool->post(std::move(task));
    return true;
}

bool Sequential_method_processor::process(Task task) {
    m_strand.post(std::move(task));
    return true;
}

std::unique_ptr<Method_processor> make_method_processor(int processing_mode,
                                                        std::shared_ptr<static_thread_pool> pool) {
    switch (processing_mode) {
        case 1:
            return std::make_unique<Parallel_method_processor>(std::move(pool));
        case 2:
            return std::make_unique<Sequential_method_processor>(std::move(pool));
        default:
            return std::make_unique<Noop_method_processor>();
    }
}

Method_dispatcher::Method_dispatcher(Pport& port, std::unique_ptr<Method_processor> processor)
    : m_port(port), m_processor(std::move(processor)) {
    m_port.set_method_sink([this](Method_request&& request) { dispatch(std::move(request)); });
}

Method_dispatcher::~Method_dispatcher() {
    m_port.set_method_sink(nullptr);
    stop();
}

void Method_dispatcher::register_method(std::uint16_t index, Method_handler* method) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_methods[index] = method;
}

void Method_dispatcher::unregister_method(std::uint16_t index) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // A call in progress may still use the method.
    m_idle.wait(lock, [this] { return m_in_flight == 0; });
    m_methods.erase(index);
}

void Method_dispatcher::start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_started = true;
}

void Method_dispatcher::stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_started = false;
    m_idle.wait(lock, [this] { return m_in_flight == 0; });
}

void Method_dispatcher::dispatch(Method_request&& request) {
    Method_handler* method = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_started) {
            send_method_reply(request.reply, nullptr, someip::return_code::e_not_ready);
            return;
        }
        auto it = m_methods.find(request.method_id);
        if (it == m_methods.end()) {
            send_method_reply(request.reply, nullptr, someip::return_code::e_unknown_method);
            return;
        }
        if (m_in_flight >= max_queued_calls) {
            if (const auto n = m_dropped.count(0, 1, Log_limiter::Clock::now())) {
                logger().LogError() << "Method_dispatcher: " << n << " calls to service " << m_port.service_id()
                                    << " dropped, " << max_queued_calls << " are waiting already";
            }
            return;
        }
        method = it->second;
        ++m_in_flight;
    }
    auto shared_request = std::make_shared<Method_request>(std::move(request));
    const bool taken = m_processor->process([this, method, shared_request] {
        method->handle_call(*shared_request);
        finish_call();
    });
    if (!taken) {
        finish_call();
    }
}

void Method_dispatcher::finish_call() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_in_flight == 0) {
        m_idle.notify_all();
    }
}

}  // namespace ux::com::cpp_binding::skeleton
