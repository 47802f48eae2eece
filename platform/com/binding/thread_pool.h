// Fixed-size worker pool that runs posted tasks, and a strand that runs its
// tasks one at a time on such a pool.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ux::com {

class static_thread_pool {
public:
    using Task = std::function<void()>;

    explicit static_thread_pool(std::size_t num_threads);
    // Runs the tasks already posted, then joins the workers.
    ~static_thread_pool();
    static_thread_pool(const static_thread_pool&) = delete;
    static_thread_pool& operator=(const static_thread_pool&) = delete;

    std::size_t num_threads() const noexcept { return m_workers.size(); }
    void post(Task task);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

class Strand {
public:
    explicit Strand(std::shared_ptr<static_thread_pool> pool);
    void post(static_thread_pool::Task task);

private:
    struct Queue {
        std::mutex mutex;
        std::deque<static_thread_pool::Task> tasks;
        bool running = false;
    };
    static void drain(const std::shared_ptr<Queue>& queue);

    std::shared_ptr<static_thread_pool> m_pool;
    std::shared_ptr<Queue> m_queue;
};

}  // namespace ux::com
