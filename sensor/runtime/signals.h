// The stop request: SIGTERM and SIGINT set terminate_requested.
#pragma once

class Systemcall_API_Interface;

// Sets terminate_requested for SIGTERM and SIGINT, clears it for any other signal.
void signal_handler(int signal_number);

// Installs signal_handler for SIGTERM and then SIGINT (both are always
// attempted). 0 on success, 1 if either installation failed.
int register_signal_handlers(Systemcall_API_Interface& systemcall_api);
