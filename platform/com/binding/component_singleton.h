// The communication runtime of one process. It must exist before any service
// skeleton is created and outlive all of them.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "com/binding/thread_pool.h"

namespace ux::com::runtime {

class Thread_pool_factory {
public:
    // Kind 1 is the pool for parallel method processing; every kind has one
    // pool, created on first use and shared afterwards.
    std::shared_ptr<static_thread_pool> get_thread_pool(int kind);

private:
    std::mutex m_mutex;
    std::shared_ptr<static_thread_pool> m_method_pool;
    std::shared_ptr<static_thread_pool> m_other_pool;
};

class Component_singleton {
public:
    // daemon_mode asks for an out-of-process runtime, which this binding does
    // not have; only in-process (false) is accepted.
    Component_singleton(bool daemon_mode, std::string component_name);
    ~Component_singleton();
    Component_singleton(const Component_singleton&) = delete;
    Component_singleton& operator=(const Component_singleton&) = delete;

    Thread_pool_factory& get_thread_pool_factory() noexcept { return m_factory; }
    const std::string& name() const noexcept { return m_name; }

    // The live component; throws Illegal_state_exception when there is none.
    static Component_singleton& instance();

private:
    std::string m_name;
    Thread_pool_factory m_factory;
};

}  // namespace ux::com::runtime
