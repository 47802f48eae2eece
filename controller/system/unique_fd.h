// The one owner of a file descriptor in the controller: closes it when it
// goes unless it was handed on. Unique_file does the same for a stdio stream.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

namespace ql {

class Unique_fd {
public:
    Unique_fd() = default;
    explicit Unique_fd(int fd) : m_fd(fd) {}
    Unique_fd(Unique_fd&& other) noexcept : m_fd(other.release()) {}
    Unique_fd& operator=(Unique_fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Unique_fd(const Unique_fd&) = delete;
    Unique_fd& operator=(const Unique_fd&) = delete;
    ~Unique_fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    // Closes the held descriptor (keeping errno) and takes fd instead.
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

struct File_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using Unique_file = std::unique_ptr<std::FILE, File_closer>;

}  // namespace ql
