// Small helpers shared by quillon's fuzz targets.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// A private file that holds the current input, for readers that take a path.
// One per process (libFuzzer runs inputs one after the other), removed at exit.
class Input_file {
public:
    Input_file() {
        // Memory-backed: the file is rewritten for every input.
        char pattern[] = "/dev/shm/fuzz-input-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) {
            std::abort();
        }
        ::close(fd);
        m_path = pattern;
    }
    ~Input_file() { ::unlink(m_path.c_str()); }
    Input_file(const Input_file&) = delete;
    Input_file& operator=(const Input_file&) = delete;

    const std::string& write(const std::uint8_t* data, std::size_t size) {
        std::FILE* file = std::fopen(m_path.c_str(), "wb");
        if (file == nullptr) {
            std::abort();
        }
        if (size > 0 && std::fwrite(data, 1, size, file) != size) {
            std::abort();
        }
        std::fclose(file);
        return m_path;
    }

private:
    std::string m_path;
};

}  // namespace fuzz
