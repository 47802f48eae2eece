// A plain SOME/IP client over UDP for tests: it builds requests and SD
// subscriptions byte by byte and waits for datagrams with a timeout.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace someip_test {

struct Message {
    std::uint16_t service_id = 0;
    std::uint16_t method_id = 0;
    std::uint32_t length = 0;
    std::uint16_t client_id = 0;
    std::uint16_t session_id = 0;
    std::uint8_t protocol_version = 0;
    std::uint8_t interface_version = 0;
    std::uint8_t message_type = 0;
    std::uint8_t return_code = 0;
    std::vector<std::uint8_t> payload;
};

struct Sd_answer {
    std::uint8_t type = 0;
    std::uint16_t service_id = 0;
    std::uint16_t instance_id = 0;
    std::uint32_t ttl = 0;
    std::uint16_t eventgroup_id = 0;
};

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    void send_raw(std::uint16_t server_port, const std::vector<std::uint8_t>& bytes);
    void send_get(std::uint16_t server_port, std::uint16_t service_id, std::uint16_t method_id,
                  std::uint16_t session_id = 1);
    void subscribe(std::uint16_t server_port, std::uint16_t service_id, std::uint16_t instance_id,
                   std::uint16_t eventgroup_id, std::uint32_t ttl = 0xffffff);

    std::optional<Message> receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Next message that is not SD.
    std::optional<Message> receive_non_sd(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Next SD message's first entry.
    std::optional<Sd_answer> receive_sd(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

    // A Get answered with RESPONSE: its payload.
    std::optional<std::vector<std::uint8_t>> get(std::uint16_t server_port, std::uint16_t service_id,
                                                 std::uint16_t method_id);

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::uint16_t m_session = 0;
};

// A UDP port that was free a moment ago.
std::uint16_t free_udp_port();

// Writes a deployment override for the two sensor services (and a test
// service) on the given ports and points UX_COM_DEPLOYMENT at it.
void use_deployment(const std::string& path, std::uint16_t ethernet_port, std::uint16_t ipsec_port,
                    std::uint16_t test_port = 0);

std::vector<std::uint8_t> from_hex(const std::string& hex);
std::string to_hex(const std::vector<std::uint8_t>& bytes);

}  // namespace someip_test
