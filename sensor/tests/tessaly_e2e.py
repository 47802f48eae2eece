#!/usr/bin/env python3
"""End-to-end tests of the tessaly binary against the real kernel. Each run
is one case; the test runner starts it in private network, mount and UTS
namespaces:

    tessaly_e2e.py TESSALY LISTENER reports HOSTNAME
    tessaly_e2e.py TESSALY LISTENER flows
    tessaly_e2e.py TESSALY LISTENER stop TERM|INT
    tessaly_e2e.py TESSALY LISTENER early CASE
    tessaly_e2e.py TESSALY LISTENER sanitized
"""

import json
import os
import signal
import socket
import sys
import threading
import time

import sensor_harness as h

SW_IDS = {"qemu-arm64": 42, "vm_housekeeping": 264, "vm_adaptive": 265, "vm_java": 266}
TYPE_IDS = {
    "specialFrameReports": "7d0c36c4fce445fc",
    "serviceDiscoveryReports": "00adfc5d1d4f4578",
    "classifierMatchReports": "4e83494f6bbd4b56",
    "firewallFilterReports": "9675ff722c7c473c",
    "trafficFlowSamples": "c3085024bc0047d9",
}
MEMBERS = {
    "specialFrameReports": {"reportTypeId", "swId", "timestamp", "payload", "frameType", "truncatedLength"},
    "serviceDiscoveryReports": {"reportTypeId", "swId", "timestamp", "payload", "truncatedLength"},
    "classifierMatchReports": {"reportTypeId", "swId", "timestamp", "logPrefix", "payload", "truncatedLength"},
    "firewallFilterReports": {"reportTypeId", "swId", "timestamp", "logPrefix", "payload", "truncatedLength"},
    "trafficFlowSamples": {"reportTypeId", "swId", "timestamp", "sourceIpAddr", "destinationIpAddr", "protocol",
                           "sourcePort", "destinationPort", "packets", "bytes"},
}


def start(tessaly, listener, hostname, env_extra=None):
    h.prepare_network(hostname)
    scratch = h.Scratch()
    config = scratch.config()
    sensor = h.Sensor(tessaly, [config], env_extra)
    sensor.wait_running()
    return scratch, sensor, h.Listener(listener, config)


def stop(sensor, listener, signal_number=signal.SIGTERM):
    listener.stop()
    sensor.proc.send_signal(signal_number)
    status = sensor.wait_exit(20)
    if status is None:
        sensor.kill()
        h.fail(f"the sensor did not stop; its log:\n{sensor.dump()}")
    return status


def check_record(field, record, sw_id):
    h.check(set(record) == MEMBERS[field], f"{field} members {sorted(record)}")
    h.check(record["reportTypeId"] == TYPE_IDS[field], f"{field} type id {record['reportTypeId']}")
    h.check(record["swId"] == sw_id, f"{field} swId {record['swId']} instead of {sw_id}")


def check_packet_report(field, record, sw_id, sent_payload, sent_at):
    check_record(field, record, sw_id)
    h.check(abs(record["timestamp"] - sent_at) <= 2, f"{field} timestamp {record['timestamp']} vs {sent_at}")
    payload = bytes.fromhex(record["payload"])
    h.check(payload[0] >> 4 in (4, 6), f"{field} payload does not start with an IP header: {record['payload'][:16]}")
    h.check(payload.endswith(sent_payload), f"{field} payload does not end with what was sent")
    h.check(record["truncatedLength"] == 0, f"{field} truncatedLength {record['truncatedLength']}")


def case_reports(tessaly, listener_path, hostname):
    sw_id = SW_IDS[hostname]
    scratch, sensor, listener = start(tessaly, listener_path, hostname)
    try:
        h.check(sensor.wait_message(f"IDS_Sensor: Start Field Server and Traffic SW-ID= {sw_id}", 1) is not None,
                "no start line with the SW-ID")
        now = time.time()

        def special(port, family, address, payload, frame_type):
            h.send_udp(family, address, port, payload)
            _, record = listener.wait_record("specialFrameReports",
                                             lambda r: bytes.fromhex(r["payload"]).endswith(payload))
            h.check(record is not None, f"no special frame report for frame type {frame_type}")
            check_packet_report("specialFrameReports", record, sw_id, payload, now)
            h.check(record["frameType"] == frame_type, f"frameType {record['frameType']} instead of {frame_type}")

        special(13400, socket.AF_INET, "127.0.0.1", b"\x02\xfd\x00\x01\x00\x00\x00\x00doip", 5)
        special(547, socket.AF_INET6, "::1", b"\x01\x12\x34\x56dhcpv6", 1)

        # TCP control: the SYN of a connection set-up.
        port = h.tcp_exchange(socket.AF_INET, "127.0.0.1", 13401, b"x")
        _, record = listener.wait_record(
            "specialFrameReports", lambda r: r["frameType"] == 3 and
            int.from_bytes(bytes.fromhex(r["payload"])[20:22], "big") == port)
        h.check(record is not None, "no TCP control report")
        check_record("specialFrameReports", record, sw_id)

        sd = b"\xff\xff\x81\x00\x00\x00\x00\x14sd"
        h.send_udp(socket.AF_INET, "127.0.0.1", 30490, sd)
        _, record = listener.wait_record("serviceDiscoveryReports", lambda r: bytes.fromhex(r["payload"]).endswith(sd))
        h.check(record is not None, "no service discovery report")
        check_packet_report("serviceDiscoveryReports", record, sw_id, sd, now)

        rule = b"classified"
        h.send_udp(socket.AF_INET6, "::1", 5555, rule)
        _, record = listener.wait_record("classifierMatchReports",
                                         lambda r: bytes.fromhex(r["payload"]).endswith(rule))
        h.check(record is not None, "no classifier match report")
        check_packet_report("classifierMatchReports", record, sw_id, rule, now)
        h.check(record["logPrefix"] == "classifierMatchReports.match.RULE", f"logPrefix {record['logPrefix']}")

        try:
            socket.create_connection(("127.0.0.1", 23), timeout=1).close()
            h.fail("the firewall rule did not reject the connection")
        except ConnectionRefusedError:
            pass
        _, record = listener.wait_record("firewallFilterReports", lambda r: True)
        h.check(record is not None, "no firewall filter report")
        check_record("firewallFilterReports", record, sw_id)
        h.check(record["logPrefix"] == "firewallFilterReports.reject.telnet", f"logPrefix {record['logPrefix']}")
        h.check(int.from_bytes(bytes.fromhex(record["payload"])[22:24], "big") == 23, "firewall payload not the SYN")

        # A packet longer than a report carries: 1522 bytes and the count of the rest.
        big = bytes(range(256)) * 7
        h.send_udp(socket.AF_INET, "127.0.0.1", 13400, big)
        _, record = listener.wait_record("specialFrameReports", lambda r: r["truncatedLength"] > 0)
        h.check(record is not None, "no report of the long packet")
        h.check(len(bytes.fromhex(record["payload"])) == 1522, "long payload not cut at 1522 bytes")
        h.check(record["truncatedLength"] == 20 + 8 + len(big) - 1522, f"truncatedLength {record['truncatedLength']}")

        flow = [r for _, n in listener.notifications() if n["field"] == "trafficFlowSamples" for r in n["records"]]
        h.check(flow, "no flow sample at all")
        for record in flow:
            check_record("trafficFlowSamples", record, sw_id)
    finally:
        status = stop(sensor, listener)
    h.check(status == 0, f"exit status {status}")


def case_flows(tessaly, listener_path):
    scratch, sensor, listener = start(tessaly, listener_path, "qemu-arm64")
    try:
        cases = [
            ("tcp", socket.AF_INET, "127.0.0.1", 8080, 6),
            ("tcp", socket.AF_INET6, "::1", 8443, 6),
            ("udp", socket.AF_INET, "127.0.0.1", 9999, 17),
            ("udp", socket.AF_INET6, "::1", 9998, 17),
        ]
        for protocol, family, address, port, number in cases:
            before = time.time_ns()
            if protocol == "tcp":
                source = h.tcp_exchange(family, address, port, b"flow sample payload" * 10)
            else:
                source = h.send_udp(family, address, port, b"first")
                h.send_udp(family, address, port, b"second datagram", source_port=source)
            after = time.time_ns()

            def this_flow(r):
                return r["destinationPort"] == port and r["sourcePort"] == source

            _, new = listener.wait_record("trafficFlowSamples", this_flow)
            h.check(new is not None, f"no sample of the new {protocol} entry to {address}:{port}")
            check_record("trafficFlowSamples", new, 42)
            h.check(new["sourceIpAddr"] == address and new["destinationIpAddr"] == address,
                    f"addresses {new['sourceIpAddr']} -> {new['destinationIpAddr']}")
            h.check(new["protocol"] == number, f"protocol {new['protocol']}")

            time.sleep(0.3)
            counters = h.conntrack_counters(protocol, port)
            h.check(counters is not None, f"conntrack has no {protocol} entry to port {port}")
            if protocol == "udp":
                header = 28 if family == socket.AF_INET else 48
                h.check(counters == (2, 2 * header + len(b"first") + len(b"second datagram")),
                        f"kernel counters {counters}")
            h.conntrack_delete(protocol, port)
            _, gone = listener.wait_record("trafficFlowSamples", lambda r: this_flow(r) and r["packets"] > 0)
            h.check(gone is not None, f"no sample of the destroyed {protocol} entry to port {port}")
            check_record("trafficFlowSamples", gone, 42)
            h.check((gone["packets"], gone["bytes"]) == counters,
                    f"counters {(gone['packets'], gone['bytes'])} instead of {counters}")
            h.check(gone["sourceIpAddr"] == address and gone["destinationIpAddr"] == address, "destroyed addresses")
            h.check(before - 10**9 <= gone["timestamp"] <= after, f"start time stamp {gone['timestamp']}")
    finally:
        status = stop(sensor, listener)
    h.check(status == 0, f"exit status {status}")


def flood(stop_event):
    """Logged packets and new connections, as fast as the loop goes."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        while not stop_event.is_set():
            s.sendto(b"doip flood", ("127.0.0.1", 13400))
            h.send_udp(socket.AF_INET6, "::1", 9999, b"new flow")
            time.sleep(0.001)


def case_stop(tessaly, listener_path, name):
    number = {"TERM": signal.SIGTERM, "INT": signal.SIGINT}[name]
    scratch, sensor, listener = start(tessaly, listener_path, "vm_housekeeping")
    listener.stop()
    stop_event = threading.Event()
    sender = threading.Thread(target=flood, args=(stop_event,))
    sender.start()
    try:
        h.check(sensor.wait_message("Send SpecialFrameReport", 5) is not None, "the flood is not reported")
        h.check(sensor.wait_message("Send TrafficFlowSample", 5) is not None, "the flood makes no flow samples")
        time.sleep(0.5)
        status, elapsed = sensor.stop(number)
    finally:
        stop_event.set()
        sender.join()
        sensor.kill()
    print(f"SIG{name}: exit status {status} after {elapsed * 1000:.0f} ms")
    h.check(status == 0, f"exit status {status}")
    h.check(elapsed <= 0.3, f"took {elapsed * 1000:.0f} ms to end")
    sensor.out.join()
    texts = [t for _, t in sensor.messages()]
    for expected in ("Unbind group. Close nflog.", "[IPTrafficStatistics]: stop", "StopOfferService Ethernetsensor",
                     "ReportApplicationState: kTerminating"):
        h.check(expected in texts, f"missing {expected!r}")
    h.check(texts[-1] == "ReportApplicationState: kTerminating", f"last line {texts[-1]!r}")


EARLY = {
    # case: (host name, arguments maker, error messages expected in order)
    "no-argument": ("qemu-arm64", lambda s: [],
                    ["Wrong number of arguments.", "Usage: tessaly [Path to configuration file]"]),
    "two-arguments": ("qemu-arm64", lambda s: [s.config(), s.config()],
                      ["Wrong number of arguments.", "Usage: tessaly [Path to configuration file]"]),
    "missing-file": ("qemu-arm64", lambda s: [os.path.join(s.path, "absent.json")],
                     ["Unable to find config file! Please make sure the path to the json file is correct.",
                      "Unable to parse config file! Please make sure it is valid json. what= ",
                      "Config file "]),
    "invalid-json": ("qemu-arm64", lambda s: [s.write("bad.json", '{"IDS_config": {"aracom_InstanceId_idsether')],
                     ["Unable to parse config file! Please make sure it is valid json. what= ", "Config file "]),
    "limit-string": ("qemu-arm64",
                     lambda s: [s.config({"IDS_config": dict(h.CONFIG["IDS_config"], IDSEthernetSensor_limit="10")})],
                     ["Unable to parse config file! Please make sure it is valid json. what= ", "Config file "]),
    "unknown-host": ("vm_unknown", lambda s: [s.config()],
                     ["No valid hostname", "get_SwId: the host name must be one of qemu-arm64, vm_adaptive, "
                                           "vm_housekeeping, vm_java (it is \"vm_unknown\")"]),
    "host-case": ("VM_JAVA", lambda s: [s.config()], ["No valid hostname"]),
    "host-64": ("v" * 64, lambda s: [s.config()],
                ["get_SwId: Get hostname: Length is smaller than the actual size."]),
    # SOME/IP reserves instance 0 and 0xFFFF.
    "reserved-instance-0": ("qemu-arm64",
                            lambda s: [s.config({"IDS_config": dict(h.CONFIG["IDS_config"],
                                                                    aracom_InstanceId_idsethernetsensor="0")})],
                            ["Invalid config file! aracom_InstanceId_idsethernetsensor \"0\" gives the reserved",
                             "Config file "]),
    "reserved-instance-ffff": ("qemu-arm64",
                               lambda s: [s.config({"IDS_config": dict(h.CONFIG["IDS_config"],
                                                                       aracom_InstanceId_idsipsecuritysensor="0xffff")})],
                               ["Invalid config file! aracom_InstanceId_idsipsecuritysensor \"0xffff\" gives the reserved",
                                "Config file "]),
}


def case_early(tessaly, name):
    hostname, arguments, expected = EARLY[name]
    h.prepare_network(hostname)
    scratch = h.Scratch()
    sensor = h.Sensor(tessaly, arguments(scratch))
    status = sensor.wait_exit(10)
    sensor.kill()
    sensor.out.join()
    h.check(status == 1, f"exit status {status}")
    messages = sensor.messages()
    errors = [text for severity, text in messages if severity == "error"]
    wanted = expected + ["IDS_Sensor: Cannot detect partition. Terminating"]
    position = 0
    for text in errors:
        if position < len(wanted) and text.startswith(wanted[position]):
            position += 1
    h.check(position == len(wanted), f"error lines {errors} lack {wanted[position:]} in that order")
    if name == "limit-string":
        h.check(any("type must be number, but is string" in t for t in errors), "no type error text")
    if name == "missing-file" or name == "invalid-json":
        h.check(any("parse_error" in t for t in errors), "no parse error text")
    # The line after a configuration failure names the file and the place.
    place = {"missing-file": "absent.json: cannot be read (No such file or directory)",
             "invalid-json": "bad.json: JSON syntax error at line 1, column 44",
             "limit-string": '.json: "IDS_config"."IDSEthernetSensor_limit" must be a number',
             "reserved-instance-0": '.json: "IDS_config"."aracom_InstanceId_idsethernetsensor" must name another instance',
             }.get(name)
    if place:
        h.check(any(t.startswith("Config file " + scratch.path) and t.endswith(place) for t in errors),
                f"no line naming the file and {place!r}: {errors}")
    texts = [text for _, text in messages]
    h.check(texts[-1] == "ReportApplicationState: kTerminating", f"no terminating report at the end: {texts[-1:]}")
    for text in texts:
        h.check("Offer" not in text and "Field Server" not in text and "Field_Server" not in text,
                f"a service was touched: {text!r}")


def case_sanitized(tessaly, listener_path):
    """Traffic of every kind and a SIGTERM under a sanitizer build: no report from it."""
    options = {
        "TSAN_OPTIONS": "halt_on_error=1 exitcode=66 second_deadlock_stack=1",
        "ASAN_OPTIONS": "detect_leaks=1 exitcode=66 fast_unwind_on_malloc=0",
        "UBSAN_OPTIONS": "halt_on_error=1 print_stacktrace=1",
        "LSAN_OPTIONS": "suppressions=" + os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp"),
    }
    scratch, sensor, listener = start(tessaly, listener_path, "vm_housekeeping", options)
    stop_event = threading.Event()
    sender = threading.Thread(target=flood, args=(stop_event,))
    try:
        h.send_udp(socket.AF_INET, "127.0.0.1", 30490, b"sd")
        h.send_udp(socket.AF_INET6, "::1", 5555, b"rule")
        try:
            socket.create_connection(("127.0.0.1", 23), timeout=1).close()
        except OSError:
            pass
        h.tcp_exchange(socket.AF_INET6, "::1", 8443, b"tcp")
        sender.start()
        h.check(listener.wait_record("firewallFilterReports", lambda r: True)[1] is not None, "no firewall report")
        h.check(listener.wait_record("trafficFlowSamples", lambda r: r["destinationPort"] == 9999)[1] is not None,
                "no flow sample")
        time.sleep(1)
        h.conntrack_delete("tcp", 8443)
        time.sleep(0.5)
    finally:
        stop_event.set()
        if sender.is_alive():
            sender.join()
        status = stop(sensor, listener)
    sensor.err.join()
    reports = [t for _, t in sensor.err.snapshot() if "Sanitizer" in t or "runtime error" in t]
    h.check(not reports, "sanitizer reports:\n" + "\n".join(t for _, t in sensor.err.snapshot()))
    h.check(status == 0, f"exit status {status}; stderr:\n" + "\n".join(t for _, t in sensor.err.snapshot()))


def main(argv):
    tessaly, listener, case, *rest = argv[1:]
    if case == "reports":
        case_reports(tessaly, listener, rest[0])
    elif case == "flows":
        case_flows(tessaly, listener)
    elif case == "stop":
        case_stop(tessaly, listener, rest[0])
    elif case == "early":
        case_early(tessaly, rest[0])
    elif case == "sanitized":
        case_sanitized(tessaly, listener)
    else:
        h.fail(f"unknown case {case}")
    print(f"PASS: {' '.join(argv[3:])}")


if __name__ == "__main__":
    main(sys.argv)
