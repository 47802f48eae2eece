#include "sensor/seams/nl_api.h"

#include <sys/socket.h>

#include <netlink/errno.h>

struct nfnl_ct* Nl_API::nfnl_ct_alloc() {
    return ::nfnl_ct_alloc();
}
struct nl_sock* Nl_API::nl_socket_alloc() {
    return ::nl_socket_alloc();
}
void Nl_API::nl_socket_disable_seq_check(struct nl_sock* sock) {
    ::nl_socket_disable_seq_check(sock);
}
int Nl_API::nl_socket_modify_cb(struct nl_sock* sock, nl_recvmsg_msg_cb_t func, void* arg) {
    return ::nl_socket_modify_cb(sock, NL_CB_VALID, NL_CB_CUSTOM, func, arg);
}
void Nl_API::nl_join_groups(struct nl_sock* sock, int groups) {
    ::nl_join_groups(sock, groups);
}
int Nl_API::nl_connect(struct nl_sock* sock, int protocol) {
    return ::nl_connect(sock, protocol);
}
int Nl_API::nl_cache_alloc_name(const char* kind, struct nl_cache** result) {
    return ::nl_cache_alloc_name(kind, result);
}
int Nl_API::set_receive_buffer(struct nl_sock* sock, int bytes) {
    const int fd = ::nl_socket_get_fd(sock);
    if (fd < 0) {
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) {
        return 0;
    }
    // Without CAP_NET_ADMIN: as much as the system allows.
    return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}
const char* Nl_API::nl_geterror(int error) {
    return ::nl_geterror(error);
}
void Nl_API::nl_cache_free(struct nl_cache* cache) {
    ::nl_cache_free(cache);
}
void Nl_API::nfnl_ct_put(struct nfnl_ct* ct) {
    ::nfnl_ct_put(ct);
}
int Nl_API::nl_socket_get_fd(const struct nl_sock* sock) {
    return ::nl_socket_get_fd(sock);
}
int Nl_API::nl_socket_set_nonblocking(const struct nl_sock* sock) {
    return ::nl_socket_set_nonblocking(sock);
}
void Nl_API::nl_socket_free(struct nl_sock* sock) {
    ::nl_socket_free(sock);
}
void Nl_API::nl_cache_clear(struct nl_cache* cache) {
    ::nl_cache_clear(cache);
}
int Nl_API::nl_recvmsgs_default(struct nl_sock* sock) {
    return ::nl_recvmsgs_default(sock);
}
int Nl_API::nl_msg_parse(struct nl_msg* msg, void (*cb)(struct nl_object*, void*), void* arg) {
    return ::nl_msg_parse(msg, cb, arg);
}
char* Nl_API::nl_addr2str(const struct nl_addr* addr, char* buf, std::size_t size) {
    return ::nl_addr2str(addr, buf, size);
}
void Nl_API::nfnl_ct_set_family(struct nfnl_ct* ct, std::uint8_t family) {
    ::nfnl_ct_set_family(ct, family);
}
struct nl_addr* Nl_API::nfnl_ct_get_src(const struct nfnl_ct* ct, int repl) {
    return ::nfnl_ct_get_src(ct, repl);
}
struct nl_addr* Nl_API::nfnl_ct_get_dst(const struct nfnl_ct* ct, int repl) {
    return ::nfnl_ct_get_dst(ct, repl);
}
const struct nfnl_ct_timestamp* Nl_API::nfnl_ct_get_timestamp(const struct nfnl_ct* ct) {
    return ::nfnl_ct_get_timestamp(ct);
}
std::uint8_t Nl_API::nfnl_ct_get_proto(const struct nfnl_ct* ct) {
    return ::nfnl_ct_get_proto(ct);
}
std::uint16_t Nl_API::nfnl_ct_get_src_port(const struct nfnl_ct* ct, int repl) {
    return ::nfnl_ct_get_src_port(ct, repl);
}
std::uint16_t Nl_API::nfnl_ct_get_dst_port(const struct nfnl_ct* ct, int repl) {
    return ::nfnl_ct_get_dst_port(ct, repl);
}
std::uint64_t Nl_API::nfnl_ct_get_packets(const struct nfnl_ct* ct, int repl) {
    return ::nfnl_ct_get_packets(ct, repl);
}
std::uint64_t Nl_API::nfnl_ct_get_bytes(const struct nfnl_ct* ct, int repl) {
    return ::nfnl_ct_get_bytes(ct, repl);
}
int Nl_API::poll(pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}
