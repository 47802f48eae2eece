#include "sensor/runtime/signals.h"

#include <signal.h>

#include "sensor/capture/terminate_flag.h"
#include "sensor/seams/systemcall_api.h"

void signal_handler(int signal_number) {
    // Only the lock-free atomic is touched: safe inside a signal handler.
    terminate_requested.store(signal_number == SIGTERM || signal_number == SIGINT);
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
