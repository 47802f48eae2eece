#include "com/binding/component_singleton.h"

#include <atomic>
#include <thread>

#include "com/binding/illegal_state_exception.h"

namespace ux::com::runtime {
namespace {

std::atomic<Component_singleton*> g_instance{nullptr};

constexpr std::size_t method_pool_threads = 2;

}  // namespace

std::shared_ptr<static_thread_pool> Thread_pool_factory::get_thread_pool(int kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& slot = kind == 1 ? m_method_pool : m_other_pool;
    if (!slot) {
        slot = std::make_shared<static_thread_pool>(kind == 1 ? method_pool_threads : 1);
    }
    return slot;
}

Component_singleton::Component_singleton(bool daemon_mode, std::string component_name)
    : m_name(std::move(component_name)) {
    if (daemon_mode) {
        throw Illegal_state_exception("Component_singleton: daemon mode is not available in this binding");
    }
    Component_singleton* expected = nullptr;
    if (!g_instance.compare_exchange_strong(expected, this)) {
        throw Illegal_state_exception("Component_singleton: a component already exists in this process");
    }
}

Component_singleton::~Component_singleton() {
    Component_singleton* expected = this;
    g_instance.compare_exchange_strong(expected, nullptr);
}

Component_singleton& Component_singleton::instance() {
    Component_singleton* current = g_instance.load();
    if (current == nullptr) {
        throw Illegal_state_exception("Component_singleton: no component has been created");
    }
    return *current;
}

}  // namespace ux::com::runtime
