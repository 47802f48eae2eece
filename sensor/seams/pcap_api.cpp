#include "sensor/seams/pcap_api.h"

#include <sys/socket.h>

#include <cstring>
#include <initializer_list>

#include "sensor/seams/nflog_tlv.h"

bool is_netfilter_device(const char* device) {
    if (device == nullptr) {
        return false;
    }
    for (const char* prefix : {"nflog", "nfqueue"}) {
        const std::size_t n = std::strlen(prefix);
        if (std::strncmp(device, prefix, n) == 0 && (device[n] == ':' || device[n] == '\0')) {
            return true;
        }
    }
    return false;
}

pcap_t* Pcap_API::nflog_create(const char* device, char* error_buffer, int* is_ours) {
    const bool ours = is_netfilter_device(device);
    if (is_ours != nullptr) {
        *is_ours = ours ? 1 : 0;
    }
    if (!ours) {
        return nullptr;
    }
    // pcap_create picks the netfilter module for these names and keeps its
    // own copy of the device string.
    return pcap_create(device, error_buffer);
}

int Pcap_API::activate(pcap_t* handle) {
    // Warnings (> 0) are success; every kind of error is reported as -1.
    const int rc = pcap_activate(handle);
    return rc < 0 ? -1 : rc;
}

int Pcap_API::set_buffer_size(pcap_t* handle, int bytes) {
    return pcap_set_buffer_size(handle, bytes);
}

int Pcap_API::force_receive_buffer(pcap_t* handle, int bytes) {
    const int fd = pcap_get_selectable_fd(handle);
    if (fd < 0) {
        return -1;
    }
    return setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int Pcap_API::selectable_fd(pcap_t* handle) {
    return pcap_get_selectable_fd(handle);
}

int Pcap_API::stats(pcap_t* handle, pcap_stat* stats) {
    return pcap_stats(handle, stats);
}

int Pcap_API::poll(pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

int Pcap_API::getnonblock(pcap_t* handle, char* error_buffer) {
    return pcap_getnonblock(handle, error_buffer);
}

int Pcap_API::setnonblock(pcap_t* handle, int nonblock, char* error_buffer) {
    return pcap_setnonblock(handle, nonblock, error_buffer);
}

int Pcap_API::dispatch(pcap_t* handle, int count, pcap_handler callback, u_char* user) {
    return pcap_dispatch(handle, count, callback, user);
}

void Pcap_API::cleanup(pcap_t* handle) {
    // libpcap offers no public clean-up that keeps the handle; closing it
    // runs the same clean-up and releases the memory as well.
    if (handle != nullptr) {
        pcap_close(handle);
    }
}

const nflog_tlv_t* Pcap_API::nflog_first_tlv(const u_char* message) {
    return nflog::first_tlv(message);
}
std::uint16_t Pcap_API::nflog_tlv_type(const nflog_tlv_t* tlv) {
    return nflog::tlv_type(tlv);
}
bool Pcap_API::nflog_tlv_ok(const nflog_tlv_t* tlv, int bytes_left) {
    return nflog::tlv_ok(tlv, bytes_left);
}
const u_char* Pcap_API::nflog_tlv_value(const nflog_tlv_t* tlv) {
    return nflog::tlv_value(tlv);
}
int Pcap_API::nflog_tlv_value_len(const nflog_tlv_t* tlv) {
    return nflog::tlv_value_len(tlv);
}
const nflog_tlv_t* Pcap_API::nflog_next_tlv(const nflog_tlv_t* tlv, int& bytes_left) {
    return nflog::next_tlv(tlv, bytes_left);
}
std::uint16_t Pcap_API::net_to_host16(std::uint16_t value) {
    return nflog::net_to_host16(value);
}
