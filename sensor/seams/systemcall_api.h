// Seam to the operating system calls of the sensor frame.
#pragma once

#include <signal.h>

#include <cstddef>

class Systemcall_API_Interface {
public:
    virtual ~Systemcall_API_Interface() = default;
    // 0, or -1 with errno set.
    virtual int gethostname(char* name, std::size_t len) = 0;
    // 0, or -1 with errno set.
    virtual int sigaction(int signum, const struct sigaction* act, struct sigaction* oldact) = 0;
};

class Systemcall_API : public Systemcall_API_Interface {
public:
    int gethostname(char* name, std::size_t len) override;
    int sigaction(int signum, const struct sigaction* act, struct sigaction* oldact) override;
};
