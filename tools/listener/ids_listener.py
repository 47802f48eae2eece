#!/usr/bin/env python3
"""Listens to the sensor's report fields over SOME/IP and prints every report
list as one JSON object per line:

    {"service": "IDSEthernetSensor", "field": "specialFrameReports", "records": [...]}

Subscribes to every field of both services (or one Get with --get), with the
endpoints of the sensor's deployment: the defaults below, overridden per
service by the JSON file named in UX_COM_DEPLOYMENT.
"""

import argparse
import ipaddress
import json
import os
import re
import select
import socket
import struct
import sys
import time

import report_decoder

QUALIFIED = {
    "IDSEthernetSensor": "ksr::services::idsethernetsensor::IDSEthernetSensor",
    "IDSIpSecuritySensor": "ksr::services::idsipsecuritysensor::IDSIpSecuritySensor",
}
DEFAULTS = {
    "IDSEthernetSensor": {"service_id": 0x1001, "address": "127.0.0.1", "port": 30501},
    "IDSIpSecuritySensor": {"service_id": 0x1002, "address": "127.0.0.1", "port": 30502},
}
SD_SERVICE, SD_METHOD = 0xFFFF, 0x8100
REQUEST, NOTIFICATION, RESPONSE, ERROR = 0x00, 0x02, 0x80, 0x81
CLIENT_ID = 0x1D5
SUBSCRIBE_TTL = 5  # seconds; renewed every RENEW_EVERY
RENEW_EVERY = 2.0


def fail(message):
    print(f"ids-listener: {message}", file=sys.stderr, flush=True)


def load_deployment():
    services = {name: dict(d) for name, d in DEFAULTS.items()}
    path = os.environ.get("UX_COM_DEPLOYMENT")
    if not path:
        return services
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    if not isinstance(doc, dict):
        raise ValueError(f"{path}: not a JSON object")
    for name, qualified in QUALIFIED.items():
        entry = doc.get(qualified)
        if entry is None:
            continue
        for key in ("address", "port", "service_id"):
            if key in entry:
                services[name][key] = entry[key]
        ipaddress.IPv4Address(services[name]["address"])
    return services


def instance_id(text):
    """The configured instance string as a 16-bit number, else its folded FNV-1a hash."""
    value = None
    if re.fullmatch(r"0x[0-9a-fA-F]+", text):
        value = int(text[2:], 16)
    elif re.fullmatch(r"[0-9]+", text):
        value = int(text, 10)
    if value is not None and value <= 0xFFFF:
        return value
    h = 2166136261
    for b in text.encode("utf-8"):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return (h >> 16) ^ (h & 0xFFFF)


def header(service, method, payload_len, session, msg_type, client=CLIENT_ID):
    return struct.pack(">HHIHHBBBB", service, method, 8 + payload_len, client, session, 1, 1, msg_type, 0)


def subscribe_message(session, service, instance, eventgroup, ttl, address, port):
    entry = struct.pack(">BBBBHHB", 0x06, 0, 0, 0x10, service, instance, 1) + ttl.to_bytes(3, "big") \
        + struct.pack(">BBH", 0, 0, eventgroup)
    option = struct.pack(">HBB", 9, 0x04, 0) + ipaddress.IPv4Address(address).packed + struct.pack(">BBH", 0, 0x11, port)
    payload = bytes([0xC0, 0, 0, 0]) + struct.pack(">I", len(entry)) + entry + struct.pack(">I", len(option)) + option
    return header(SD_SERVICE, SD_METHOD, len(payload), session, NOTIFICATION, client=0) + payload


def parse_message(data):
    if len(data) < 16:
        return None
    service, method, length, client, session, proto, iface, msg_type, code = struct.unpack(">HHIHHBBBB", data[:16])
    if length != len(data) - 8 or proto != 1:
        return None
    return {"service": service, "method": method, "type": msg_type, "code": code, "session": session,
            "payload": data[16:]}


def sd_answers(payload):
    """(service, instance, eventgroup, ttl) of each SubscribeEventgroupAck/Nack entry."""
    if len(payload) < 8:
        return []
    n = struct.unpack(">I", payload[4:8])[0]
    out = []
    for off in range(8, min(8 + n, len(payload)) - 15, 16):
        e = payload[off:off + 16]
        if e[0] == 0x07:
            service, instance = struct.unpack(">HH", e[4:8])
            out.append((service, instance, struct.unpack(">H", e[14:16])[0], int.from_bytes(e[9:12], "big")))
    return out


class Listener:
    def __init__(self, services, instances, bind_address):
        self.services = services
        self.instances = instances
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind((bind_address, 0))
        self.address, self.port = self.sock.getsockname()
        self.session = 0
        # (service id, method/event id) -> (service name, field name)
        self.by_id = {}
        for name, fields in report_decoder.SERVICES.items():
            for field, (index, _) in fields.items():
                sid = services[name]["service_id"]
                self.by_id[(sid, index)] = (name, field)
                self.by_id[(sid, 0x8000 + index)] = (name, field)

    def next_session(self):
        self.session = self.session % 0xFFFF + 1
        return self.session

    def endpoint(self, name):
        d = self.services[name]
        return (d["address"], d["port"])

    def subscribe_all(self, ttl):
        for name, fields in report_decoder.SERVICES.items():
            for index, _ in fields.values():
                msg = subscribe_message(self.next_session(), self.services[name]["service_id"],
                                        self.instances[name], index + 1, ttl, self.address, self.port)
                try:
                    self.sock.sendto(msg, self.endpoint(name))
                except OSError as e:
                    fail(f"cannot reach {name}: {e}")

    def emit(self, name, field, payload):
        record_type = report_decoder.SERVICES[name][field][1]
        try:
            records = report_decoder.decode_list(payload, record_type)
        except report_decoder.MalformedPayload as e:
            fail(f"{name}.{field}: malformed payload rejected: {e}")
            return False
        print(json.dumps({"service": name, "field": field, "records": records}), flush=True)
        return True

    def get(self, name, field, timeout):
        index = report_decoder.SERVICES[name][field][0]
        session = self.next_session()
        sid = self.services[name]["service_id"]
        self.sock.sendto(header(sid, index, 0, session, REQUEST), self.endpoint(name))
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                fail(f"no answer to the Get of {name}.{field} within {timeout} s")
                return 1
            msg = parse_message(self.sock.recv(65536))
            if not msg or msg["service"] != sid or msg["method"] != index or msg["session"] != session:
                continue
            if msg["type"] == ERROR or msg["code"] != 0:
                fail(f"Get of {name}.{field} answered with error 0x{msg['code']:02x}")
                return 1
            return 0 if self.emit(name, field, msg["payload"]) else 1

    def listen(self, count, duration):
        end = time.monotonic() + duration if duration else None
        printed = 0
        renew = 0.0
        try:
            while count is None or printed < count:
                now = time.monotonic()
                if end is not None and now >= end:
                    break
                if now >= renew:
                    self.subscribe_all(SUBSCRIBE_TTL)
                    renew = now + RENEW_EVERY
                wait = renew - now if end is None else min(renew, end) - now
                if not select.select([self.sock], [], [], max(wait, 0))[0]:
                    continue
                msg = parse_message(self.sock.recv(65536))
                if msg is None:
                    fail("dropped a datagram that is not SOME/IP")
                    continue
                if msg["service"] == SD_SERVICE:
                    for service, instance, eventgroup, ttl in sd_answers(msg["payload"]):
                        if ttl == 0:
                            fail(f"subscription refused: service 0x{service:04x} instance 0x{instance:04x} "
                                 f"eventgroup {eventgroup}")
                    continue
                if msg["type"] != NOTIFICATION:
                    continue
                target = self.by_id.get((msg["service"], msg["method"]))
                if target and self.emit(*target, msg["payload"]):
                    printed += 1
        finally:
            self.subscribe_all(0)
        return 0


def parse_get(text):
    if "." in text:
        service, field = text.split(".", 1)
        if field in report_decoder.SERVICES.get(service, {}):
            return service, field
    else:
        for service, fields in report_decoder.SERVICES.items():
            if text in fields:
                return service, text
    raise argparse.ArgumentTypeError(f"unknown field {text!r}")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--config", help="the sensor's configuration file, for both instance identifiers")
    p.add_argument("--ethernet-instance", help="instance identifier of IDSEthernetSensor")
    p.add_argument("--ipsec-instance", help="instance identifier of IDSIpSecuritySensor")
    p.add_argument("--get", type=parse_get, metavar="[SERVICE.]FIELD", help="one Get of the field, then exit")
    p.add_argument("--count", type=int, help="exit after this many notifications")
    p.add_argument("--duration", type=float, help="exit after this many seconds")
    p.add_argument("--timeout", type=float, default=2.0, help="seconds to wait for a Get answer")
    p.add_argument("--bind", default="127.0.0.1", help="local address for notifications")
    args = p.parse_args(argv)

    instances = {}
    if args.config:
        with open(args.config, encoding="utf-8-sig") as f:
            cfg = json.load(f).get("IDS_config", {})
        instances["IDSEthernetSensor"] = cfg.get("aracom_InstanceId_idsethernetsensor")
        instances["IDSIpSecuritySensor"] = cfg.get("aracom_InstanceId_idsipsecuritysensor")
    if args.ethernet_instance is not None:
        instances["IDSEthernetSensor"] = args.ethernet_instance
    if args.ipsec_instance is not None:
        instances["IDSIpSecuritySensor"] = args.ipsec_instance
    if any(not isinstance(instances.get(n), str) for n in QUALIFIED):
        p.error("both instance identifiers are needed: --config, or --ethernet-instance and --ipsec-instance")
    try:
        services = load_deployment()
    except (OSError, ValueError, KeyError) as e:
        fail(f"deployment: {e}")
        return 2
    listener = Listener(services, {n: instance_id(t) for n, t in instances.items()}, args.bind)
    if args.get:
        return listener.get(*args.get, args.timeout)
    try:
        return listener.listen(args.count, args.duration)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
