#include "sensor/runtime/signals.h"

#include <signal.h>

#include "sensor/common/terminate_flag.h"
#include "sensor/seams/systemcall_api.h"

void signal_handler(int signal_number) {
    // Only the lock-free atomic and an eventfd write: both safe inside a
    // signal handler. The write wakes the worker loops at once.
    if (signal_number == SIGTERM || signal_number == SIGINT) {
        request_stop();
    } else {
        terminate_requested.store(false);
    }
}

int register_signal_handlers(Systemcall_API_Interface& systemcall_api) {
    struct sigaction action {};
    action.sa_handler = &signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    const int term_result = systemcall_api.sigaction(SIGTERM, &action, nullptr);
    const int int_result = systemcall_api.sigaction(SIGINT, &action, nullptr);
    return (term_result != 0 || int_result != 0) ? 1 : 0;
}
