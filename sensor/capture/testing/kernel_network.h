// Helpers for programs that drive the capture through the running kernel:
// they must run in a private network namespace, where they bring up the
// loopback device, install netfilter log rules and send UDP datagrams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace capture_kernel {

// True when the network namespace holds no device but loopback, as a fresh
// one does, so rules and links changed here cannot reach the host.
bool in_private_network_namespace();

// Brings `lo` up; false on failure.
bool bring_loopback_up();

// Loads an nft ruleset given as text; false on failure, with nft's output in
// `diagnostics`.
bool load_nft_ruleset(const std::string& ruleset, std::string& diagnostics);

// A rule that logs UDP datagrams to one port to an NFLOG group with a prefix,
// flushed to the listener at once.
std::string nflog_rule(std::uint16_t udp_port, std::uint16_t group, const std::string& prefix);

// A table "capture_test" with an output chain holding the rules.
std::string output_table(const std::vector<std::string>& rules);

// Sends datagrams to 127.0.0.1; one socket for the lifetime of the object.
class Udp_sender {
public:
    Udp_sender();
    ~Udp_sender();
    Udp_sender(const Udp_sender&) = delete;
    Udp_sender& operator=(const Udp_sender&) = delete;

    bool send(std::uint16_t port, const std::vector<std::uint8_t>& data);
    std::uint16_t source_port() const noexcept { return m_source_port; }

private:
    int m_fd = -1;
    std::uint16_t m_source_port = 0;
};

}  // namespace capture_kernel
