#!/usr/bin/env python3
"""A live tessaly against a hostile peer on its network, in the private
network namespace of the test runner:

    tessaly_hostile_test.py TESSALY

Every party sits on its own loopback address: the attacker (127.0.0.66), a
genuine subscriber (127.0.0.77) and a third party (127.0.0.99) that nobody
should send anything to. Each case says what reaches each of them. The Get
flood prints its figures (resident memory, the answer time of a plain Get
right after); its limits are loose, the figures are what to look at.
"""

import os
import socket
import struct
import sys
import time

import sensor_harness as h

TESSALY = sys.argv[1]
ETHERNET, INSTANCE = 0x1001, 1  # h.CONFIG
ETHERNET_PORT, SD_PORT = 40501, 30490
SPECIAL_FRAMES = 3  # eventgroup of specialFrameReports (field index 2)
ATTACKER, GENUINE, THIRD = "127.0.0.66", "127.0.0.77", "127.0.0.99"
FLOOD_SECONDS = float(os.environ.get("HOSTILE_FLOOD_SECONDS", "5"))

SUBSCRIBE, ACK, FIND, OFFER = 0x06, 0x07, 0x00, 0x01
NOTIFICATION, RESPONSE, ERROR = 0x02, 0x80, 0x81


def header(service, method, payload_len, message_type, session=1, client=0):
    return struct.pack(">HHIHHBBBB", service, method, 8 + payload_len, client, session, 1, 1, message_type, 0)


def sd_message(entries, options=b""):
    payload = bytes([0xC0, 0, 0, 0]) + struct.pack(">I", len(entries) * 16) + b"".join(entries) \
        + struct.pack(">I", len(options)) + options
    return header(0xFFFF, 0x8100, len(payload), NOTIFICATION) + payload


def endpoint_option(address, port, protocol=0x11):
    return struct.pack(">HBB4sBBH", 9, 0x04, 0, socket.inet_aton(address), 0, protocol, port)


def subscribe_entry(option_index, ttl, eventgroup=SPECIAL_FRAMES):
    return struct.pack(">BBBBHHB", SUBSCRIBE, option_index, 0, 0x10, ETHERNET, INSTANCE, 1) \
        + ttl.to_bytes(3, "big") + struct.pack(">BBH", 0, 0, eventgroup)


def find_entry():
    return struct.pack(">BBBBHHB", FIND, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFF) + (3).to_bytes(3, "big") \
        + struct.pack(">I", 0xFFFFFFFF)


def sd_entries(datagram):
    """(type, service, ttl) of each entry of an SD datagram."""
    h.check(len(datagram) >= 28 and datagram[:4] == b"\xff\xff\x81\x00", f"not SOME/IP-SD: {datagram[:32].hex()}")
    n = struct.unpack(">I", datagram[20:24])[0]
    return [(datagram[24 + o], struct.unpack(">H", datagram[28 + o:30 + o])[0],
             int.from_bytes(datagram[33 + o:36 + o], "big")) for o in range(0, n, 16)]


class Party:
    """A UDP socket on its own loopback address that counts what it receives."""

    def __init__(self, address):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind((address, 0))
        self.address, self.port = self.sock.getsockname()

    def send(self, data, port):
        self.sock.sendto(data, ("127.0.0.1", port))

    def receive(self, timeout):
        """Every datagram that arrives within timeout seconds."""
        got = []
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                got.append(self.sock.recv(65536))
            except socket.timeout:
                break
        return got

    def wait(self, predicate, timeout):
        """The first datagram for which predicate holds, or None."""
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                d = self.sock.recv(65536)
            except socket.timeout:
                return None
            if predicate(d):
                return d
        return None

    def subscribe(self, ttl=0xFFFFFF):
        self.send(sd_message([subscribe_entry(0, ttl)], endpoint_option(self.address, self.port)), SD_PORT)


def is_report(marker):
    return lambda d: d[:2] == struct.pack(">H", ETHERNET) and d[14] == NOTIFICATION and marker in d


def report(marker):
    h.send_udp(socket.AF_INET, "127.0.0.1", 13400, marker)


def genuine_still_served(marker):
    """A new subscriber from another address is acked and gets the next report."""
    genuine = Party(GENUINE)
    genuine.subscribe()
    ack = genuine.wait(lambda d: d[:2] == b"\xff\xff", 2)
    h.check(ack is not None and sd_entries(ack)[0][0] == ACK and sd_entries(ack)[0][2] > 0,
            f"the genuine subscriber was not acknowledged: {ack and sd_entries(ack)}")
    report(marker)
    h.check(genuine.wait(is_report(marker), 3) is not None, "the genuine subscriber did not get the next report")
    genuine.subscribe(0)


def lock_out(attacker):
    # 64 subscriptions with TTL 0xFFFFFF in one datagram, each its own port.
    options = b"".join(endpoint_option(ATTACKER, 50000 + i) for i in range(64))
    attacker.send(sd_message([subscribe_entry(i, 0xFFFFFF) for i in range(64)], options), SD_PORT)
    answers = [d for d in attacker.receive(1) if d[:2] == b"\xff\xff"]
    h.check(len(answers) == 1, f"{len(answers)} SD answers to one message")
    acked = [e for e in sd_entries(answers[0]) if e[0] == ACK and e[2] > 0]
    print(f"lock-out: {len(acked)} of 64 subscriptions of one address acknowledged", flush=True)
    h.check(0 < len(acked) <= 8, f"{len(acked)} subscriptions of one address acknowledged")
    genuine_still_served(b"after the lock-out")
    # The same from 64 addresses, one subscription each: the table is full,
    # and a newcomer still gets in.
    crowd = [Party(f"127.0.1.{i}") for i in range(1, 65)]
    for party in crowd:
        party.subscribe()
    acked = sum(1 for party in crowd if (a := party.wait(lambda d: d[:2] == b"\xff\xff", 2)) is not None
                and sd_entries(a)[0][2] > 0)
    print(f"lock-out: {acked} of 64 subscriptions from 64 addresses acknowledged", flush=True)
    genuine_still_served(b"after the crowd")


def third_party(attacker, third):
    # One subscription naming the third party, then 2,040 pairs of
    # StopSubscribe and Subscribe naming it, in one datagram.
    option = endpoint_option(THIRD, third.port)
    attacker.send(sd_message([subscribe_entry(0, 0xFFFFFF)], option), SD_PORT)
    answer = attacker.wait(lambda d: d[:2] == b"\xff\xff", 2)
    h.check(answer is not None and sd_entries(answer) == [(ACK, ETHERNET, 0)], "no Nack for a third party's endpoint")
    pairs = [e for _ in range(2040) for e in (subscribe_entry(0, 0), subscribe_entry(0, 0xFFFFFF))]
    message = sd_message(pairs, option)
    print(f"third party: {len(message)} byte datagram of 2,040 pairs", flush=True)
    attacker.send(message, SD_PORT)
    answers = [d for d in attacker.receive(1) if d[:2] == b"\xff\xff"]
    h.check(len(answers) == 1 and all(e[2] == 0 for e in sd_entries(answers[0])),
            f"{len(answers)} answers to the pairs, or one of them an Ack")
    report(b"third party")
    got = third.receive(1.5)
    h.check(not got, f"the third party received {sum(map(len, got))} bytes")


def bad_endpoints(attacker, sensor):
    cases = [("0.0.0.0", 41000, 0x11), ("255.255.255.255", 41000, 0x11), ("224.0.0.1", 41000, 0x11),
             (ATTACKER, 0, 0x11), (ATTACKER, 41000, 0x06)]
    options = b"".join(endpoint_option(*c) for c in cases)
    attacker.send(sd_message([subscribe_entry(i, 0xFFFFFF) for i in range(len(cases))], options), SD_PORT)
    answers = [d for d in attacker.receive(1) if d[:2] == b"\xff\xff"]
    h.check(len(answers) == 1 and [e[2] for e in sd_entries(answers[0])] == [0] * len(cases),
            f"bad endpoints were not all refused: {[sd_entries(a) for a in answers]}")
    before = len(sensor.messages())
    report(b"bad endpoints")
    time.sleep(0.5)
    failures = [m for m in sensor.messages()[before:] if "could not be sent" in m[1]]
    h.check(not failures, f"sends to refused endpoints: {failures}")


def big_find(attacker):
    message = sd_message([find_entry() for _ in range(4000)])
    for port, services in ((SD_PORT, 2), (ETHERNET_PORT, 1)):
        attacker.send(message, port)
        answers = [d for d in attacker.receive(1) if d[:2] == b"\xff\xff"]
        h.check(len(answers) == 1, f"{len(answers)} answers to 4,000 finds at port {port}")
        offers = [e for e in sd_entries(answers[0]) if e[0] == OFFER]
        h.check(len(offers) == services and len({e[1] for e in offers}) == services,
                f"offers answering 4,000 finds at port {port}: {offers}")
    print(f"4,000 finds: one answer of {len(answers[0])} bytes at each port", flush=True)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def get_flood(attacker, sensor):
    payload = bytes(60 * 1024)
    request = header(ETHERNET, 2, len(payload), 0x00, client=0x66) + payload
    # Warm up, so the figure shows growth under the flood, not start-up.
    for _ in range(200):
        attacker.send(request, ETHERNET_PORT)
    time.sleep(0.5)
    attacker.receive(0.2)
    before = rss_kib(sensor.proc.pid)
    sent = errors = 0
    deadline = time.monotonic() + FLOOD_SECONDS
    attacker.sock.setblocking(False)
    while time.monotonic() < deadline:
        for _ in range(50):
            attacker.sock.sendto(request, ("127.0.0.1", ETHERNET_PORT))
            sent += 1
        try:
            while True:
                d = attacker.sock.recv(65536)
                errors += d[14] == ERROR and d[15] == 0x09
        except BlockingIOError:
            pass
    attacker.sock.setblocking(True)
    after = rss_kib(sensor.proc.pid)
    errors += sum(d[14] == ERROR and d[15] == 0x09 for d in attacker.receive(0.3))
    plain = Party(GENUINE)
    start = time.monotonic()
    plain.send(header(ETHERNET, 2, 0, 0x00, client=0x77), ETHERNET_PORT)
    answer = plain.wait(lambda d: d[14] in (RESPONSE, ERROR), 2)
    took = (time.monotonic() - start) * 1000
    print(f"Get flood: {sent} requests of 60 KiB in {FLOOD_SECONDS:.0f} s, {errors} E_MALFORMED_MESSAGE answers "
          f"read; resident memory {before} KiB -> {after} KiB ({after - before:+d} KiB); "
          f"a plain Get right after answered in {took:.1f} ms", flush=True)
    h.check(errors > 0, "no request of the flood was answered with E_MALFORMED_MESSAGE")
    h.check(after - before < 4096, f"resident memory grew by {after - before} KiB")
    h.check(answer is not None and answer[14] == RESPONSE, "the plain Get after the flood was not answered")
    h.check(took < 1000, f"the plain Get after the flood took {took:.0f} ms")


def main():
    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    deployment = scratch.write("deployment.json", '{"ksr::services::idsethernetsensor::IDSEthernetSensor": '
                                                  f'{{"port": {ETHERNET_PORT}}}}}')
    sensor = h.Sensor(TESSALY, [scratch.config()], {"UX_COM_DEPLOYMENT": deployment})
    try:
        sensor.wait_running()
        attacker, third = Party(ATTACKER), Party(THIRD)
        lock_out(attacker)
        third_party(attacker, third)
        bad_endpoints(attacker, sensor)
        big_find(attacker)
        get_flood(attacker, sensor)
        # One line a second at most, and together they count every refusal:
        # 1 + 2 x 2,040 naming the third party, 5 bad endpoints.
        refused = [int(m[1].split()[2]) for m in sensor.messages()
                   if m[1].startswith("Pport: refused ") and ATTACKER in m[1]]
        print(f"{len(refused)} log lines about refused subscriptions of {ATTACKER}: {refused}", flush=True)
        h.check(0 < len(refused) <= 10 and sum(refused) == 1 + 2 * 2040 + 5,
                f"lines about refused subscriptions: {refused}")
        genuine_still_served(b"after everything")
        sensor.proc.send_signal(15)
        h.check(sensor.wait_exit(10) == 0, "the sensor did not stop with status 0")
    finally:
        sensor.kill()
    print("hostile peers: ok", flush=True)


if __name__ == "__main__":
    main()
