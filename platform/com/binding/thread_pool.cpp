#include "com/binding/thread_pool.h"

namespace ux::com {

static_thread_pool::static_thread_pool(std::size_t num_threads) {
    if (num_threads == 0) {
        num_threads = 1;
    }
    m_workers.reserve(num_threads);
    for (std::size_t i = 0; i < num_threads; ++i) {
        m_workers.emplace_back([this] { run(); });
    }
}

static_thread_pool::~static_thread_pool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (auto& worker : m_workers) {
        worker.join();
    }
}

void static_thread_pool::post(Task task) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void static_thread_pool::run() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty()) {
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

Strand::Strand(std::shared_ptr<static_thread_pool> pool)
    : m_pool(std::move(pool)), m_queue(std::make_shared<Queue>()) {}

void Strand::post(static_thread_pool::Task task) {
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_queue->mutex);
        m_queue->tasks.push_back(std::move(task));
        if (!m_queue->running) {
            m_queue->running = true;
            start = true;
        }
    }
    if (start) {
        auto queue = m_queue;
        m_pool->post([queue] { drain(queue); });
    }
}

void Strand::drain(const std::shared_ptr<Queue>& queue) {
    for (;;) {
        static_thread_pool::Task task;
        {
            std::lock_guard<std::mutex> lock(queue->mutex);
            if (queue->tasks.empty()) {
                queue->running = false;
                return;
            }
            task = std::move(queue->tasks.front());
            queue->tasks.pop_front();
        }
        task();
    }
}

}  // namespace ux::com
