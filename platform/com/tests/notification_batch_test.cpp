// Held notifications: nothing leaves before the outermost batch ends, then
// every datagram leaves whole and in order, even past the holding limit, after
// a failed one, and after the port let go of its socket.
#include "com/endpoint/notification_batch.h"

#include <arpa/inet.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "com/endpoint/udp_socket.h"

namespace {

using ux::com::Notification_batch;
using ux::com::cpp_binding::send_or_hold;
using ux::com::cpp_binding::Udp_socket;

class Receiver {
public:
    Receiver() : m_socket("127.0.0.1", 0) {}
    sockaddr_in address() const { return m_socket.local_address(); }

    // Every datagram that arrives within the wait, as text.
    std::vector<std::string> take(int wait_ms) {
        std::vector<std::string> got;
        pollfd p{m_socket.fd(), POLLIN, 0};
        while (::poll(&p, 1, wait_ms) > 0) {
            std::uint8_t buffer[2048];
            sockaddr_in from{};
            const long n = m_socket.receive(buffer, sizeof buffer, from);
            if (n >= 0) {
                got.emplace_back(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
            }
        }
        return got;
    }

private:
    Udp_socket m_socket;
};

bool send_text(const std::shared_ptr<Udp_socket>& socket, const sockaddr_in& to, const std::string& head,
               const std::string& tail) {
    iovec pieces[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(tail.data()), tail.size()}};
    return send_or_hold(socket, to, pieces, 2, 1);
}

TEST(NotificationBatch, HeldUntilTheOutermostBatchEndsThenSentWholeAndInOrder) {
    Receiver receiver;
    auto socket = std::make_shared<Udp_socket>("127.0.0.1", 0);
    std::vector<std::string> expected;
    {
        Notification_batch outer;
        {
            Notification_batch inner;
            ASSERT_TRUE(send_text(socket, receiver.address(), "a-", "0"));
        }
        for (int i = 1; i < 100; ++i) {
            ASSERT_TRUE(send_text(socket, receiver.address(), "a-", std::to_string(i)));
        }
        // The inner batch and the first 64 of the outer one may have left;
        // the last ones are still held.
        const auto early = receiver.take(50);
        EXPECT_EQ(early.size(), 64u);
        // The port may close its endpoint meanwhile; what is held still leaves.
        socket.reset();
    }
    for (int i = 0; i < 100; ++i) {
        expected.push_back("a-" + std::to_string(i));
    }
    auto got = std::vector<std::string>(expected.begin(), expected.begin() + 64);
    const auto late = receiver.take(200);
    got.insert(got.end(), late.begin(), late.end());
    EXPECT_EQ(got, expected);
}

TEST(NotificationBatch, WithoutABatchSendsAtOnceAndAFailedDatagramCostsOnlyItself) {
    Receiver receiver;
    auto socket = std::make_shared<Udp_socket>("127.0.0.1", 0);
    ASSERT_TRUE(send_text(socket, receiver.address(), "now", ""));
    EXPECT_EQ(receiver.take(200), std::vector<std::string>{"now"});

    sockaddr_in nowhere{};
    nowhere.sin_family = AF_INET;  // port 0 cannot be sent to
    nowhere.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_FALSE(send_text(socket, nowhere, "lost", ""));
    {
        Notification_batch batch;
        ASSERT_TRUE(send_text(socket, receiver.address(), "b", "1"));
        ASSERT_TRUE(send_text(socket, nowhere, "lost", ""));
        ASSERT_TRUE(send_text(socket, receiver.address(), "b", "2"));
    }
    EXPECT_EQ(receiver.take(200), (std::vector<std::string>{"b1", "b2"}));
}

}  // namespace
