// Stop requests (SIGTERM, SIGINT, SIGHUP) during a start or a stop are held
// back until the step that runs has ended; the caller then asks whether one
// came and, if so, undoes its completed steps.
#pragma once

#include <signal.h>

namespace ql {

// The stop requests: SIGTERM, SIGINT and SIGHUP.
sigset_t stop_request_signals();

// Whether a stop request is pending (held back, not yet taken).
bool stop_request_pending();

class Signal_hold {
public:
    // Blocks the three signals; the destruction restores the previous mask.
    Signal_hold();
    ~Signal_hold();
    Signal_hold(const Signal_hold&) = delete;
    Signal_hold& operator=(const Signal_hold&) = delete;
};

// Raises the assertion error (ERROR line naming the signal) when a stop
// request is pending, taking it; returns otherwise.
void stop_if_signalled();

}  // namespace ql
