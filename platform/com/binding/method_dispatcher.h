// Hands incoming method calls to the registered implementations, on threads
// chosen by the method processor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "com/binding/port_interfaces.h"
#include "com/binding/pport.h"
#include "com/binding/thread_pool.h"
#include "com/endpoint/log_limiter.h"

namespace ux::com::cpp_binding::skeleton {

class Method_processor {
public:
    using Task = std::function<void()>;
    virtual ~Method_processor() = default;
    // False when the call was not taken (it will never run).
    virtual bool process(Task task) = 0;
};

// Calls run concurrently on the pool's threads.
class Parallel_method_processor : public Method_processor {
public:
    explicit Parallel_method_processor(std::shared_ptr<static_thread_pool> pool) : m_pool(std::move(pool)) {}
    bool process(Task task) override;

private:
    std::shared_ptr<static_thread_pool> m_pool;
};

// Calls run one at a time, in arrival order, on the pool's threads.
class Sequential_method_processor : public Method_processor {
public:
    explicit Sequential_method_processor(std::shared_ptr<static_thread_pool> pool) : m_strand(std::move(pool)) {}
    bool process(Task task) override;

private:
    Strand m_strand;
};

// Calls are not processed.
class Noop_method_processor : public Method_processor {
public:
    bool process(Task) override { return false; }
};

// Processor for a method-call processing mode: 1 parallel, 2 sequential,
// anything else none.
std::unique_ptr<Method_processor> make_method_processor(int processing_mode,
                                                        std::shared_ptr<static_thread_pool> pool);

class Method_dispatcher {
public:
    Method_dispatcher(Pport& port, std::unique_ptr<Method_processor> processor);
    ~Method_dispatcher();
    Method_dispatcher(const Method_dispatcher&) = delete;
    Method_dispatcher& operator=(const Method_dispatcher&) = delete;

    void register_method(std::uint16_t index, Method_handler* method);
    void unregister_method(std::uint16_t index);
    void start();
    // Stops taking calls and waits for the calls in progress; repeatable.
    void stop();

private:
    void dispatch(Method_request&& request);
    void finish_call();

    Pport& m_port;
    std::unique_ptr<Method_processor> m_processor;
    // Calls dropped because the queue was full, for the next log line.
    Log_limiter m_dropped;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::map<std::uint16_t, Method_handler*> m_methods;
    bool m_started = false;
    std::size_t m_in_flight = 0;
};

}  // namespace ux::com::cpp_binding::skeleton
