#!/usr/bin/env python3
"""Prints the SOME/IP-SD OfferService entries that cross the loopback
interface, one line each: "<CLOCK_MONOTONIC seconds> offer|stopoffer
<service> <instance> <ttl>", until SECONDS have passed or it is killed.

    sd_watch.py SECONDS        (root: a packet socket on lo)
"""
import socket
import struct
import sys
import time

PACKET_OUTGOING = 4
ETH_P_ALL = 0x0003


def offers(udp_payload):
    """(service, instance, ttl) of each OfferService entry in an SD message."""
    if len(udp_payload) < 28 or udp_payload[:4] != b"\xff\xff\x81\x00":
        return []
    (length,) = struct.unpack_from("!I", udp_payload, 20)
    entries = udp_payload[24:24 + length]
    found = []
    for off in range(0, len(entries) - 15, 16):
        if entries[off] == 0x01:
            service, instance = struct.unpack_from("!HH", entries, off + 4)
            ttl = int.from_bytes(entries[off + 9:off + 12], "big")
            found.append((service, instance, ttl))
    return found


def main():
    end = time.monotonic() + float(sys.argv[1])
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind(("lo", 0))
    s.settimeout(0.2)
    while time.monotonic() < end:
        try:
            frame, address = s.recvfrom(65535)
        except socket.timeout:
            continue
        # Loopback shows every datagram twice: leaving and arriving.
        if address[2] == PACKET_OUTGOING or len(frame) < 14 + 20 + 8:
            continue
        ip = frame[14:]
        if ip[0] >> 4 != 4 or ip[9] != socket.IPPROTO_UDP:
            continue
        udp = ip[(ip[0] & 0x0F) * 4:]
        dport = struct.unpack_from("!H", udp, 2)[0]
        if dport != 30490:
            continue
        for service, instance, ttl in offers(udp[8:]):
            kind = "stopoffer" if ttl == 0 else "offer"
            print(f"{time.monotonic():.6f} {kind} 0x{service:04x} 0x{instance:04x} {ttl}",
                  flush=True)


if __name__ == "__main__":
    main()
