#include "sensor/seams/systemcall_api.h"

#include <unistd.h>

int Systemcall_API::gethostname(char* name, std::size_t len) {
    return ::gethostname(name, len);
}

int Systemcall_API::sigaction(int signum, const struct sigaction* act, struct sigaction* oldact) {
    return ::sigaction(signum, act, oldact);
}
