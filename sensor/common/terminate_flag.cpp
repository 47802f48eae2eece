#include "sensor/common/terminate_flag.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

std::atomic<bool> terminate_requested{false};

namespace {

// Created before main, so the signal handler never has to create it.
const int stop_event = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

}  // namespace

int stop_event_fd() noexcept { return stop_event; }

void request_stop() noexcept {
    terminate_requested.store(true);
    if (stop_event >= 0) {
        const int saved_errno = errno;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_event, &one, sizeof one);
        errno = saved_errno;
    }
}

void clear_stop_request() noexcept {
    terminate_requested.store(false);
    if (stop_event >= 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(stop_event, &value, sizeof value);
    }
}
