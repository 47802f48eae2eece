// Process-wide stop request. The SIGTERM/SIGINT handler stores true and
// signals the stop event; the worker loops wait on that event next to their
// own source, so a stop is seen at once, and load the flag before each pass.
#pragma once

#include <atomic>

extern std::atomic<bool> terminate_requested;

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");

// Descriptor that becomes readable once a stop is requested, or -1 when it
// could not be created (the loops then notice the flag at their time-out).
int stop_event_fd() noexcept;

// Sets terminate_requested and signals the stop event. Async-signal-safe.
void request_stop() noexcept;

// Clears terminate_requested and the stop event (process start, tests).
void clear_stop_request() noexcept;
