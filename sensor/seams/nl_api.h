// Seam to libnl (netlink sockets, conntrack objects) and poll(2). Every
// operation forwards to the function of the same name, except
// set_receive_buffer.
#pragma once

#include <netlink/addr.h>
#include <netlink/cache.h>
#include <netlink/handlers.h>
#include <netlink/msg.h>
#include <netlink/netfilter/ct.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>
#include <poll.h>

#include <cstddef>
#include <cstdint>

class Nl_API_Interface {
public:
    virtual ~Nl_API_Interface() = default;
    // Null when out of memory.
    virtual struct nfnl_ct* nfnl_ct_alloc() = 0;
    virtual struct nl_sock* nl_socket_alloc() = 0;
    virtual void nl_socket_disable_seq_check(struct nl_sock* sock) = 0;
    // Installs a custom handler for valid messages (NL_CB_VALID, NL_CB_CUSTOM).
    virtual int nl_socket_modify_cb(struct nl_sock* sock, nl_recvmsg_msg_cb_t func, void* arg) = 0;
    virtual void nl_join_groups(struct nl_sock* sock, int groups) = 0;
    virtual int nl_connect(struct nl_sock* sock, int protocol) = 0;
    // An empty cache of the kind ("netfilter/ct"); 0 or a negative libnl error.
    virtual int nl_cache_alloc_name(const char* kind, struct nl_cache** result) = 0;
    // Receive buffer of a connected socket: SO_RCVBUFFORCE where the process
    // may, else SO_RCVBUF (capped by the system). 0, or -1 when neither took.
    virtual int set_receive_buffer(struct nl_sock* sock, int bytes) = 0;
    virtual const char* nl_geterror(int error) = 0;
    virtual void nl_cache_free(struct nl_cache* cache) = 0;
    virtual void nfnl_ct_put(struct nfnl_ct* ct) = 0;
    virtual int nl_socket_get_fd(const struct nl_sock* sock) = 0;
    virtual int nl_socket_set_nonblocking(const struct nl_sock* sock) = 0;
    virtual void nl_socket_free(struct nl_sock* sock) = 0;
    virtual void nl_cache_clear(struct nl_cache* cache) = 0;
    virtual int nl_recvmsgs_default(struct nl_sock* sock) = 0;
    virtual int nl_msg_parse(struct nl_msg* msg, void (*cb)(struct nl_object*, void*), void* arg) = 0;
    virtual char* nl_addr2str(const struct nl_addr* addr, char* buf, std::size_t size) = 0;
    virtual void nfnl_ct_set_family(struct nfnl_ct* ct, std::uint8_t family) = 0;
    virtual struct nl_addr* nfnl_ct_get_src(const struct nfnl_ct* ct, int repl) = 0;
    virtual struct nl_addr* nfnl_ct_get_dst(const struct nfnl_ct* ct, int repl) = 0;
    virtual const struct nfnl_ct_timestamp* nfnl_ct_get_timestamp(const struct nfnl_ct* ct) = 0;
    virtual std::uint8_t nfnl_ct_get_proto(const struct nfnl_ct* ct) = 0;
    virtual std::uint16_t nfnl_ct_get_src_port(const struct nfnl_ct* ct, int repl) = 0;
    virtual std::uint16_t nfnl_ct_get_dst_port(const struct nfnl_ct* ct, int repl) = 0;
    virtual std::uint64_t nfnl_ct_get_packets(const struct nfnl_ct* ct, int repl) = 0;
    virtual std::uint64_t nfnl_ct_get_bytes(const struct nfnl_ct* ct, int repl) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;
};

class Nl_API : public Nl_API_Interface {
public:
    struct nfnl_ct* nfnl_ct_alloc() override;
    struct nl_sock* nl_socket_alloc() override;
    void nl_socket_disable_seq_check(struct nl_sock* sock) override;
    int nl_socket_modify_cb(struct nl_sock* sock, nl_recvmsg_msg_cb_t func, void* arg) override;
    void nl_join_groups(struct nl_sock* sock, int groups) override;
    int nl_connect(struct nl_sock* sock, int protocol) override;
    int nl_cache_alloc_name(const char* kind, struct nl_cache** result) override;
    int set_receive_buffer(struct nl_sock* sock, int bytes) override;
    const char* nl_geterror(int error) override;
    void nl_cache_free(struct nl_cache* cache) override;
    void nfnl_ct_put(struct nfnl_ct* ct) override;
    int nl_socket_get_fd(const struct nl_sock* sock) override;
    int nl_socket_set_nonblocking(const struct nl_sock* sock) override;
    void nl_socket_free(struct nl_sock* sock) override;
    void nl_cache_clear(struct nl_cache* cache) override;
    int nl_recvmsgs_default(struct nl_sock* sock) override;
    int nl_msg_parse(struct nl_msg* msg, void (*cb)(struct nl_object*, void*), void* arg) override;
    char* nl_addr2str(const struct nl_addr* addr, char* buf, std::size_t size) override;
    void nfnl_ct_set_family(struct nfnl_ct* ct, std::uint8_t family) override;
    struct nl_addr* nfnl_ct_get_src(const struct nfnl_ct* ct, int repl) override;
    struct nl_addr* nfnl_ct_get_dst(const struct nfnl_ct* ct, int repl) override;
    const struct nfnl_ct_timestamp* nfnl_ct_get_timestamp(const struct nfnl_ct* ct) override;
    std::uint8_t nfnl_ct_get_proto(const struct nfnl_ct* ct) override;
    std::uint16_t nfnl_ct_get_src_port(const struct nfnl_ct* ct, int repl) override;
    std::uint16_t nfnl_ct_get_dst_port(const struct nfnl_ct* ct, int repl) override;
    std::uint64_t nfnl_ct_get_packets(const struct nfnl_ct* ct, int repl) override;
    std::uint64_t nfnl_ct_get_bytes(const struct nfnl_ct* ct, int repl) override;
    int poll(pollfd* fds, nfds_t count, int timeout_ms) override;
};
