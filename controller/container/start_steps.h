// Owners of what a container start sets up. Each step returns one; unless it
// is released, its destruction undoes the step. Declared one after the other
// in the start, they undo in reverse order by themselves.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "controller/system/system.h"

namespace ql {

class Container;

// One mount (the data partition): unmounted on destruction unless released.
class Mount_owner {
public:
    Mount_owner() = default;
    Mount_owner(System& sys, std::string target, bool delete_loop)
        : m_sys(&sys), m_target(std::move(target)), m_delete_loop(delete_loop) {}
    Mount_owner(Mount_owner&& other) noexcept
        : m_sys(std::exchange(other.m_sys, nullptr)), m_target(std::move(other.m_target)),
          m_delete_loop(other.m_delete_loop) {}
    Mount_owner& operator=(Mount_owner&&) = delete;
    Mount_owner(const Mount_owner&) = delete;
    Mount_owner& operator=(const Mount_owner&) = delete;
    ~Mount_owner();

    bool mounted() const { return m_sys != nullptr; }
    void release() { m_sys = nullptr; }

private:
    System* m_sys = nullptr;
    std::string m_target;
    bool m_delete_loop = false;
};

// The container's loaded SMACK rules: unloaded on destruction unless released.
class Smack_rules {
public:
    Smack_rules() = default;
    explicit Smack_rules(Container& container) : m_container(&container) {}
    Smack_rules(Smack_rules&& other) noexcept : m_container(std::exchange(other.m_container, nullptr)) {}
    Smack_rules& operator=(Smack_rules&&) = delete;
    Smack_rules(const Smack_rules&) = delete;
    Smack_rules& operator=(const Smack_rules&) = delete;
    ~Smack_rules();

    bool loaded() const { return m_container != nullptr; }
    void release() { m_container = nullptr; }

private:
    Container* m_container = nullptr;
};

// The runtime's container of a detached start: killed and deleted on
// destruction unless released.
class Runc_container {
public:
    explicit Runc_container(Container& container) : m_container(&container) {}
    Runc_container(const Runc_container&) = delete;
    Runc_container& operator=(const Runc_container&) = delete;
    ~Runc_container();

    void release() { m_container = nullptr; }

private:
    Container* m_container;
};

// The bind mounts made so far: unmounted last first on destruction unless
// released.
class Bind_mounts {
public:
    explicit Bind_mounts(System& sys) : m_sys(&sys) {}
    Bind_mounts(Bind_mounts&& other) noexcept : m_sys(other.m_sys), m_targets(std::move(other.m_targets)) {
        other.m_targets.clear();
    }
    Bind_mounts& operator=(Bind_mounts&&) = delete;
    Bind_mounts(const Bind_mounts&) = delete;
    Bind_mounts& operator=(const Bind_mounts&) = delete;
    ~Bind_mounts();

    void add(std::string target) { m_targets.push_back(std::move(target)); }
    void release() { m_targets.clear(); }

private:
    System* m_sys;
    std::vector<std::string> m_targets;
};

}  // namespace ql
