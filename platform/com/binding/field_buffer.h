// The value store of one field: a reader-writer lock, the value (absent until
// the first update) and the callback that notifies after an update.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <system_error>
#include <utility>

namespace ux::com::cpp_binding::skeleton {

template <typename T>
class Field_buffer {
public:
    Field_buffer() { pthread_rwlock_init(&m_lock, nullptr); }
    ~Field_buffer() { pthread_rwlock_destroy(&m_lock); }
    Field_buffer(const Field_buffer&) = delete;
    Field_buffer& operator=(const Field_buffer&) = delete;

    // Replaces the value with a copy; reuses the old value's storage.
    void update(const T& value) {
        const int rc = pthread_rwlock_wrlock(&m_lock);
        if (rc != 0) {
            throw std::system_error(rc, std::generic_category(), "Field_buffer write lock");
        }
        try {
            if (m_value) {
                *m_value = value;
            } else {
                m_value.emplace(value);
            }
        } catch (...) {
            pthread_rwlock_unlock(&m_lock);
            throw;
        }
        pthread_rwlock_unlock(&m_lock);
    }

    // Holds the read lock for its lifetime.
    class Read_guard {
    public:
        explicit Read_guard(const Field_buffer& buffer) : m_buffer(buffer) {
            int rc;
            while ((rc = pthread_rwlock_rdlock(&m_buffer.m_lock)) == EAGAIN) {
            }
            if (rc != 0) {
                throw std::system_error(rc, std::generic_category(), "Field_buffer read lock");
            }
        }
        ~Read_guard() { pthread_rwlock_unlock(&m_buffer.m_lock); }
        Read_guard(const Read_guard&) = delete;
        Read_guard& operator=(const Read_guard&) = delete;
        // Only while the guard lives.
        const std::optional<T>& value() const noexcept { return m_buffer.m_value; }

    private:
        const Field_buffer& m_buffer;
    };

    bool has_value() const {
        Read_guard guard(*this);
        return guard.value().has_value();
    }

    // Set once while the skeleton is built, before any update.
    void set_notify_callback(std::function<void()> callback) { m_notify = std::move(callback); }
    bool has_notify_callback() const noexcept { return static_cast<bool>(m_notify); }
    void notify() const {
        if (m_notify) {
            m_notify();
        }
    }

private:
    mutable pthread_rwlock_t m_lock;
    std::optional<T> m_value;
    std::function<void()> m_notify;
};

}  // namespace ux::com::cpp_binding::skeleton
