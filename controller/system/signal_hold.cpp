#include "controller/system/signal_hold.h"

#include <signal.h>

#include <cstring>

#include "controller/log/log.h"

namespace ql {

namespace {

sigset_t previous_mask;
int holds = 0;

}  // namespace

sigset_t stop_request_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

bool stop_request_pending() {
    sigset_t pending;
    sigpending(&pending);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigismember(&pending, number) == 1) {
            return true;
        }
    }
    return false;
}

Signal_hold::Signal_hold() {
    const sigset_t set = stop_request_signals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);
    if (holds++ == 0) {
        previous_mask = previous;
    }
}

Signal_hold::~Signal_hold() {
    if (--holds != 0) {
        return;
    }
    // A request that came after the last step stays held: unblocking it now
    // would end the process by the signal instead of with its exit status.
    if (stop_request_pending()) {
        return;
    }
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
}

void stop_if_signalled() {
    const sigset_t set = stop_request_signals();
    const timespec no_wait{0, 0};
    const int signal_number = sigtimedwait(&set, nullptr, &no_wait);
    if (signal_number > 0) {
        LOG_ERROR("stopped by signal ", signal_number, " (", strsignal(signal_number),
                  "), undoing the completed steps");
    }
    QL_CHECK(signal_number <= 0, "");
}

}  // namespace ql
