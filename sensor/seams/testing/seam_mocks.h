// GoogleMock doubles of the seam interfaces.
#pragma once

#include <gmock/gmock.h>

#include "sensor/seams/ids_interfaces.h"

class Mock_Systemcall_API : public Systemcall_API_Interface {
public:
    MOCK_METHOD(int, gethostname, (char* name, std::size_t len), (override));
    MOCK_METHOD(int, sigaction, (int signum, const struct sigaction* act, struct sigaction* oldact),
                (override));
};

class Mock_ARA_EM_Appclient : public ARA_EM_Appclient_Interface {
public:
    MOCK_METHOD(ara::exec::ApplicationReturnType, ReportApplicationState, (ara::exec::ApplicationState state),
                (override));
};

class Mock_ARA_PHM_API : public ARA_PHM_API_Interface {
public:
    MOCK_METHOD(void, CheckpointReached, (std::uint16_t supervisionId, std::uint16_t checkpointId),
                (override));
};

// The NFLOG walk helpers are pure; by default the mock runs the real ones so
// that tests only need to script the capture calls.
class Mock_Pcap_API : public Pcap_API_Interface {
public:
    Mock_Pcap_API() {
        using ::testing::Invoke;
        ON_CALL(*this, nflog_first_tlv).WillByDefault(Invoke(&m_real, &Pcap_API::nflog_first_tlv));
        ON_CALL(*this, nflog_tlv_type).WillByDefault(Invoke(&m_real, &Pcap_API::nflog_tlv_type));
        ON_CALL(*this, nflog_tlv_ok).WillByDefault(Invoke(&m_real, &Pcap_API::nflog_tlv_ok));
        ON_CALL(*this, nflog_tlv_value).WillByDefault(Invoke(&m_real, &Pcap_API::nflog_tlv_value));
        ON_CALL(*this, nflog_tlv_value_len).WillByDefault(Invoke(&m_real, &Pcap_API::nflog_tlv_value_len));
        ON_CALL(*this, nflog_next_tlv).WillByDefault(Invoke(&m_real, &Pcap_API::nflog_next_tlv));
        ON_CALL(*this, net_to_host16).WillByDefault(Invoke(&m_real, &Pcap_API::net_to_host16));
        // No descriptor and an input that is always ready: the loop reads at every pass.
        ON_CALL(*this, selectable_fd).WillByDefault(::testing::Return(-1));
        ON_CALL(*this, poll).WillByDefault(::testing::Return(1));
        ON_CALL(*this, stats).WillByDefault(::testing::Return(-1));
    }

    MOCK_METHOD(pcap_t*, nflog_create, (const char* device, char* error_buffer, int* is_ours), (override));
    MOCK_METHOD(int, set_buffer_size, (pcap_t * handle, int bytes), (override));
    MOCK_METHOD(int, activate, (pcap_t * handle), (override));
    MOCK_METHOD(int, force_receive_buffer, (pcap_t * handle, int bytes), (override));
    MOCK_METHOD(int, selectable_fd, (pcap_t * handle), (override));
    MOCK_METHOD(int, stats, (pcap_t * handle, pcap_stat* stats), (override));
    MOCK_METHOD(int, poll, (pollfd * fds, nfds_t count, int timeout_ms), (override));
    MOCK_METHOD(int, getnonblock, (pcap_t * handle, char* error_buffer), (override));
    MOCK_METHOD(int, setnonblock, (pcap_t * handle, int nonblock, char* error_buffer), (override));
    MOCK_METHOD(int, dispatch, (pcap_t * handle, int count, pcap_handler callback, u_char* user), (override));
    MOCK_METHOD(void, cleanup, (pcap_t * handle), (override));
    MOCK_METHOD(const nflog_tlv_t*, nflog_first_tlv, (const u_char* message), (override));
    MOCK_METHOD(std::uint16_t, nflog_tlv_type, (const nflog_tlv_t* tlv), (override));
    MOCK_METHOD(bool, nflog_tlv_ok, (const nflog_tlv_t* tlv, int bytes_left), (override));
    MOCK_METHOD(const u_char*, nflog_tlv_value, (const nflog_tlv_t* tlv), (override));
    MOCK_METHOD(int, nflog_tlv_value_len, (const nflog_tlv_t* tlv), (override));
    MOCK_METHOD(const nflog_tlv_t*, nflog_next_tlv, (const nflog_tlv_t* tlv, int& bytes_left), (override));
    MOCK_METHOD(std::uint16_t, net_to_host16, (std::uint16_t value), (override));

private:
    Pcap_API m_real;
};

class Mock_Nl_API : public Nl_API_Interface {
public:
    Mock_Nl_API() { ON_CALL(*this, nl_geterror).WillByDefault(::testing::Return("Unspecific failure")); }

    MOCK_METHOD(struct nfnl_ct*, nfnl_ct_alloc, (), (override));
    MOCK_METHOD(struct nl_sock*, nl_socket_alloc, (), (override));
    MOCK_METHOD(void, nl_socket_disable_seq_check, (struct nl_sock * sock), (override));
    MOCK_METHOD(int, nl_socket_modify_cb, (struct nl_sock * sock, nl_recvmsg_msg_cb_t func, void* arg),
                (override));
    MOCK_METHOD(void, nl_join_groups, (struct nl_sock * sock, int groups), (override));
    MOCK_METHOD(int, nl_connect, (struct nl_sock * sock, int protocol), (override));
    MOCK_METHOD(int, nl_cache_alloc_name, (const char* kind, struct nl_cache** result), (override));
    MOCK_METHOD(int, set_receive_buffer, (struct nl_sock * sock, int bytes), (override));
    MOCK_METHOD(const char*, nl_geterror, (int error), (override));
    MOCK_METHOD(void, nl_cache_free, (struct nl_cache * cache), (override));
    MOCK_METHOD(void, nfnl_ct_put, (struct nfnl_ct * ct), (override));
    MOCK_METHOD(int, nl_socket_get_fd, (const struct nl_sock* sock), (override));
    MOCK_METHOD(int, nl_socket_set_nonblocking, (const struct nl_sock* sock), (override));
    MOCK_METHOD(void, nl_socket_free, (struct nl_sock * sock), (override));
    MOCK_METHOD(void, nl_cache_clear, (struct nl_cache * cache), (override));
    MOCK_METHOD(int, nl_recvmsgs_default, (struct nl_sock * sock), (override));
    MOCK_METHOD(int, nl_msg_parse, (struct nl_msg * msg, void (*cb)(struct nl_object*, void*), void* arg),
                (override));
    MOCK_METHOD(char*, nl_addr2str, (const struct nl_addr* addr, char* buf, std::size_t size), (override));
    MOCK_METHOD(void, nfnl_ct_set_family, (struct nfnl_ct * ct, std::uint8_t family), (override));
    MOCK_METHOD(struct nl_addr*, nfnl_ct_get_src, (const struct nfnl_ct* ct, int repl), (override));
    MOCK_METHOD(struct nl_addr*, nfnl_ct_get_dst, (const struct nfnl_ct* ct, int repl), (override));
    MOCK_METHOD(const struct nfnl_ct_timestamp*, nfnl_ct_get_timestamp, (const struct nfnl_ct* ct),
                (override));
    MOCK_METHOD(std::uint8_t, nfnl_ct_get_proto, (const struct nfnl_ct* ct), (override));
    MOCK_METHOD(std::uint16_t, nfnl_ct_get_src_port, (const struct nfnl_ct* ct, int repl), (override));
    MOCK_METHOD(std::uint16_t, nfnl_ct_get_dst_port, (const struct nfnl_ct* ct, int repl), (override));
    MOCK_METHOD(std::uint64_t, nfnl_ct_get_packets, (const struct nfnl_ct* ct, int repl), (override));
    MOCK_METHOD(std::uint64_t, nfnl_ct_get_bytes, (const struct nfnl_ct* ct, int repl), (override));
    MOCK_METHOD(int, poll, (pollfd * fds, nfds_t count, int timeout_ms), (override));
};
