// Process-wide stop request. The SIGTERM/SIGINT handler stores true; the
// worker loops load it before each pass and end when it is set.
#pragma once

#include <atomic>

extern std::atomic<bool> terminate_requested;

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");
