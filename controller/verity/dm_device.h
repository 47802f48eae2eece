// One device-mapper device while it is built or removed.
#pragma once

#include <cstdint>
#include <string>

#include "controller/verity/kernel.h"

namespace ql {

struct Dm_table_load;

// A device that this holder created and did not hand over is removed when it
// goes.
class Dm_device {
public:
    // Opens "/dev/mapper/control"; raises the assertion error when that fails.
    explicit Dm_device(std::string name, Kernel& kernel = linux_kernel());
    ~Dm_device();
    Dm_device(const Dm_device&) = delete;
    Dm_device& operator=(const Dm_device&) = delete;

    // An empty device of this name; afterwards the holder owns it.
    void create();
    // Loads the (read-only) table of the device.
    void load_table(Dm_table_load& data);
    // Activates the loaded table; returns the device number of the device.
    std::uint64_t resume();
    // Hands the device over to the caller.
    void release() { created = false; }

    // Removes the device (a brief EBUSY is retried a bounded number of times)
    // and then its node; a missing device counts as removed (its stale node
    // is deleted). Never raises.
    bool destroy();

private:
    Kernel_fd m_ctl_fd;
    std::string name;
    bool created;
    Kernel& kernel;
};

}  // namespace ql
