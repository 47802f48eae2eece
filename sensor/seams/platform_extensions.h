// The one door to what the platform offers beyond the middleware binding and
// the seams: batched notifications, the instance-identifier fold and alive
// supervision of the worker loops. Each has a behaviour any platform can
// supply (batching and supervision may do nothing, the fold may be the
// platform's own), so porting the sensor means porting this file pair only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "com/notification_batch.h"

namespace platform_extensions {

// Notifications published on this thread while a batch is alive may leave
// together when it ends, each still its own message and in order. Without
// batching every notification leaves at once.
class Notification_batch {
public:
    Notification_batch() noexcept = default;
    Notification_batch(const Notification_batch&) = delete;
    Notification_batch& operator=(const Notification_batch&) = delete;

private:
    ux::com::Notification_batch m_batch;
};

// The 16-bit SOME/IP instance the middleware offers for a configured
// instance string.
std::uint16_t instance_id(std::string_view configured);

// Alive supervision of worker loops: under a service manager's watchdog the
// process is kept alive only while every loop reports passes.
class Loop_supervision {
public:
    explicit Loop_supervision(std::size_t loops);
    ~Loop_supervision();
    Loop_supervision(const Loop_supervision&) = delete;
    Loop_supervision& operator=(const Loop_supervision&) = delete;

    // Cheap; from the loop's own thread.
    void passed(std::size_t loop) noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform_extensions
