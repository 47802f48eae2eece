// Seam to libpcap's netfilter (NFLOG) capture and to the NFLOG message walk.
#pragma once

#include <pcap/nflog.h>
#include <pcap/pcap.h>
#include <poll.h>

#include <cstdint>

class Pcap_API_Interface {
public:
    virtual ~Pcap_API_Interface() = default;
    // A new, not yet activated capture on an "nflog:<groups>" device, or null.
    // *is_ours is 1 when the device string names a netfilter device ("nflog"
    // or "nfqueue" followed by ':' or the end), else 0 and null is returned.
    // error_buffer holds PCAP_ERRBUF_SIZE bytes.
    virtual pcap_t* nflog_create(const char* device, char* error_buffer, int* is_ours) = 0;
    // Kernel receive buffer of the capture, in bytes; before activation.
    // 0 on success.
    virtual int set_buffer_size(pcap_t* handle, int bytes) = 0;
    // 0 or more on success, -1 on failure.
    virtual int activate(pcap_t* handle) = 0;
    // After activation: raises the receive buffer beyond the system's cap
    // where the process may (CAP_NET_ADMIN). 0 on success, -1 when the
    // buffer stays as it is.
    virtual int force_receive_buffer(pcap_t* handle, int bytes) = 0;
    // The descriptor to wait on, or -1.
    virtual int selectable_fd(pcap_t* handle) = 0;
    // Statistics of an active capture (ps_drop: packets the kernel dropped
    // for want of buffer space). 0 on success.
    virtual int stats(pcap_t* handle, pcap_stat* stats) = 0;
    // poll(2).
    virtual int poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;
    // 1 non-blocking, 0 blocking, -1 error.
    virtual int getnonblock(pcap_t* handle, char* error_buffer) = 0;
    // 0, or negative on error.
    virtual int setnonblock(pcap_t* handle, int nonblock, char* error_buffer) = 0;
    // Packets handled, or negative on error.
    virtual int dispatch(pcap_t* handle, int count, pcap_handler callback, u_char* user) = 0;
    // Closes the capture socket and releases the capture; the handle must not
    // be used afterwards.
    virtual void cleanup(pcap_t* handle) = 0;
    virtual const nflog_tlv_t* nflog_first_tlv(const u_char* message) = 0;
    virtual std::uint16_t nflog_tlv_type(const nflog_tlv_t* tlv) = 0;
    virtual bool nflog_tlv_ok(const nflog_tlv_t* tlv, int bytes_left) = 0;
    virtual const u_char* nflog_tlv_value(const nflog_tlv_t* tlv) = 0;
    virtual int nflog_tlv_value_len(const nflog_tlv_t* tlv) = 0;
    virtual const nflog_tlv_t* nflog_next_tlv(const nflog_tlv_t* tlv, int& bytes_left) = 0;
    virtual std::uint16_t net_to_host16(std::uint16_t value) = 0;
};

class Pcap_API : public Pcap_API_Interface {
public:
    pcap_t* nflog_create(const char* device, char* error_buffer, int* is_ours) override;
    int set_buffer_size(pcap_t* handle, int bytes) override;
    int activate(pcap_t* handle) override;
    int force_receive_buffer(pcap_t* handle, int bytes) override;
    int selectable_fd(pcap_t* handle) override;
    int stats(pcap_t* handle, pcap_stat* stats) override;
    int poll(pollfd* fds, nfds_t count, int timeout_ms) override;
    int getnonblock(pcap_t* handle, char* error_buffer) override;
    int setnonblock(pcap_t* handle, int nonblock, char* error_buffer) override;
    int dispatch(pcap_t* handle, int count, pcap_handler callback, u_char* user) override;
    void cleanup(pcap_t* handle) override;
    const nflog_tlv_t* nflog_first_tlv(const u_char* message) override;
    std::uint16_t nflog_tlv_type(const nflog_tlv_t* tlv) override;
    bool nflog_tlv_ok(const nflog_tlv_t* tlv, int bytes_left) override;
    const u_char* nflog_tlv_value(const nflog_tlv_t* tlv) override;
    int nflog_tlv_value_len(const nflog_tlv_t* tlv) override;
    const nflog_tlv_t* nflog_next_tlv(const nflog_tlv_t* tlv, int& bytes_left) override;
    std::uint16_t net_to_host16(std::uint16_t value) override;
};

// True when the device string names a netfilter capture device.
bool is_netfilter_device(const char* device);
