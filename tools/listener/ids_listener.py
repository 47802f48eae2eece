#!/usr/bin/env python3
"""Listens to the sensor's report fields over SOME/IP and prints every report
list as one JSON object per line:

    {"service": "IDSEthernetSensor", "field": "specialFrameReports", "records": [...]}

Subscribes to every field of both services (or one Get with --get), with the
endpoints of the sensor's deployment: the defaults below, overridden per
service by the JSON file named in UX_COM_DEPLOYMENT, or, with --discover,
the endpoints the sensor offers by SOME/IP service discovery.
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
# A service that answered nothing (acknowledgement or notification) for this
# long is reported as silent; subscribing goes on, so a restarted sensor is
# picked up again.
SILENT_AFTER = 2 * RENEW_EVERY + 1.0
SD_DEFAULT = "127.0.0.1:30490"
FIND_SERVICE, OFFER_SERVICE, SUBSCRIBE_ACK = 0x00, 0x01, 0x07
ANY_INSTANCE = 0xFFFF


def fail(message):
    print(f"ids-listener: {message}", file=sys.stderr, flush=True)


# What the listener finds out about the sensor goes where its failures go.
note = fail


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
    sd = doc.get("service_discovery")
    if isinstance(sd, dict):
        services["service_discovery"] = f"{sd.get('address', '127.0.0.1')}:{sd.get('port', 30490)}"
    return services


def config_instances(path):
    """Both instance identifiers from the sensor's configuration file; raises
    ValueError with a one-line reason when the file cannot give them."""
    try:
        with open(path, encoding="utf-8-sig") as f:
            doc = json.load(f)
    except OSError as e:
        raise ValueError(f"{path}: {e.strerror}") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"{path}: not JSON ({e})") from None
    cfg = doc.get("IDS_config") if isinstance(doc, dict) else None
    if not isinstance(cfg, dict):
        raise ValueError(f"{path}: no \"IDS_config\" object")
    instances = {}
    for name, key in (("IDSEthernetSensor", "aracom_InstanceId_idsethernetsensor"),
                      ("IDSIpSecuritySensor", "aracom_InstanceId_idsipsecuritysensor")):
        if not isinstance(cfg.get(key), str):
            raise ValueError(f"{path}: \"IDS_config\".\"{key}\" is not a string")
        instances[name] = cfg[key]
    return instances


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


def find_message(session, service, instance):
    """A FindService for any major and minor version."""
    entry = struct.pack(">BBBBHHB", FIND_SERVICE, 0, 0, 0, service, instance, 0xFF) + (3).to_bytes(3, "big") \
        + struct.pack(">I", 0xFFFFFFFF)
    payload = bytes([0xC0, 0, 0, 0]) + struct.pack(">I", len(entry)) + entry + struct.pack(">I", 0)
    return header(SD_SERVICE, SD_METHOD, len(payload), session, NOTIFICATION, client=0) + payload


def sd_offers(payload):
    """(service, instance, ttl, address, port) of each OfferService entry with a UDP IPv4 endpoint option."""
    if len(payload) < 12:
        return []
    n = struct.unpack(">I", payload[4:8])[0]
    if 12 + n > len(payload):
        return []
    options_len = struct.unpack(">I", payload[8 + n:12 + n])[0]
    options, off, end = [], 12 + n, min(12 + n + options_len, len(payload))
    while off + 3 <= end:
        length, kind = struct.unpack(">HB", payload[off:off + 3])
        body = payload[off + 3:off + 3 + length]
        if kind == 0x04 and len(body) == 9 and body[6] == 0x11:
            options.append((str(ipaddress.IPv4Address(body[1:5])), struct.unpack(">H", body[7:9])[0]))
        else:
            options.append(None)
        off += 3 + length
    out = []
    for e in (payload[o:o + 16] for o in range(8, 8 + n - 15, 16)):
        if e[0] != OFFER_SERVICE:
            continue
        service, instance = struct.unpack(">HH", e[4:8])
        first, second = e[1], e[2]
        count1, count2 = e[3] >> 4, e[3] & 0x0F
        refs = list(range(first, first + count1)) + list(range(second, second + count2))
        endpoints = [options[i] for i in refs if i < len(options) and options[i]]
        if endpoints:
            out.append((service, instance, int.from_bytes(e[9:12], "big"), *endpoints[0]))
    return out


def parse_endpoint(text):
    address, _, port = text.rpartition(":")
    ipaddress.IPv4Address(address)
    return address, int(port)


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
    def __init__(self, services, instances, bind_address, sd_address=None):
        self.services = services
        # Service name -> instance ID; ANY_INSTANCE until discovery names one.
        self.instances = instances
        self.sd_address = sd_address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind((bind_address, 0))
        self.address, self.port = self.sock.getsockname()
        self.sockets = [self.sock]
        if sd_address and ipaddress.IPv4Address(sd_address[0]).is_multicast:
            # Cyclic offers and StopOffers of a multicast SD group.
            group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            group.bind(("", sd_address[1]))
            group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                             ipaddress.IPv4Address(sd_address[0]).packed + socket.inet_aton(bind_address))
            self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(bind_address))
            self.sockets.append(group)
        self.session = 0
        # Service name -> time of its last answer, and whether it is silent.
        self.last_answer = {name: time.monotonic() for name in QUALIFIED}
        self.silent = {name: False for name in QUALIFIED}
        self.found = {name: False for name in QUALIFIED}
        self.by_id = {}
        self.index_ids()

    def index_ids(self):
        """(service id, method/event id) -> (service name, field name)"""
        self.by_id = {}
        for name, fields in report_decoder.SERVICES.items():
            for field, (index, _) in fields.items():
                sid = self.services[name]["service_id"]
                self.by_id[(sid, index)] = (name, field)
                self.by_id[(sid, 0x8000 + index)] = (name, field)

    def name_of(self, service_id):
        for name, d in self.services.items():
            if d["service_id"] == service_id:
                return name
        return None

    def next_session(self):
        self.session = self.session % 0xFFFF + 1
        return self.session

    def endpoint(self, name):
        d = self.services[name]
        return (d["address"], d["port"])

    def find_all(self):
        for name in QUALIFIED:
            try:
                self.sock.sendto(find_message(self.next_session(), self.services[name]["service_id"],
                                              self.instances[name]), self.sd_address)
            except OSError as e:
                fail(f"cannot send FindService to {self.sd_address[0]}:{self.sd_address[1]}: {e}")

    def on_offers(self, payload):
        """Takes the endpoints of offered services; True when something new was learnt."""
        learnt = False
        for service, instance, ttl, address, port in sd_offers(payload):
            name = self.name_of(service)
            if name is None or self.instances[name] not in (ANY_INSTANCE, instance):
                continue
            if ttl == 0:
                if self.found[name]:
                    note(f"{name} stopped its offer (service 0x{service:04x} instance 0x{instance:04x})")
                    self.found[name] = False
                continue
            d = self.services[name]
            if not self.found[name] or (d["address"], d["port"]) != (address, port):
                d["address"], d["port"] = address, port
                if self.instances[name] == ANY_INSTANCE:
                    self.instances[name] = instance
                note(f"found {name} (service 0x{service:04x} instance 0x{instance:04x}) at {address}:{port} "
                     f"by service discovery")
                learnt = True
            self.found[name] = True
        return learnt

    def discover(self, timeout):
        """Waits for offers of both services, asking with FindService every half second."""
        deadline = time.monotonic() + timeout
        ask = 0.0
        while not all(self.found.values()):
            now = time.monotonic()
            if now >= deadline:
                missing = ", ".join(n for n, f in self.found.items() if not f)
                fail(f"no offer of {missing} within {timeout} s at {self.sd_address[0]}:{self.sd_address[1]}")
                return False
            if now >= ask:
                self.find_all()
                ask = now + 0.5
            for sock in select.select(self.sockets, [], [], min(ask, deadline) - now)[0]:
                msg = parse_message(sock.recv(65536))
                if msg and msg["service"] == SD_SERVICE:
                    self.on_offers(msg["payload"])
        return True

    def heard_from(self, name):
        self.last_answer[name] = time.monotonic()
        if self.silent[name]:
            self.silent[name] = False
            note(f"{name} answers again; subscribed anew")

    def check_silence(self):
        now = time.monotonic()
        for name, last in self.last_answer.items():
            if not self.silent[name] and now - last > SILENT_AFTER:
                self.silent[name] = True
                d = self.services[name]
                note(f"{name} at {d['address']}:{d['port']} stopped answering (nothing for {now - last:.0f} s); "
                     f"still subscribing")

    def subscribe_all(self, ttl):
        for name, fields in report_decoder.SERVICES.items():
            if self.instances[name] == ANY_INSTANCE:
                continue  # not found yet
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
                    self.check_silence()
                    if self.sd_address and any(self.silent.values()):
                        # A restarted sensor may offer other endpoints.
                        self.find_all()
                    self.subscribe_all(SUBSCRIBE_TTL)
                    renew = now + RENEW_EVERY
                wait = renew - now if end is None else min(renew, end) - now
                for sock in select.select(self.sockets, [], [], max(wait, 0))[0]:
                    printed += self.receive(sock)
        finally:
            self.subscribe_all(0)
        return 0

    def receive(self, sock):
        """Handles one datagram; the number of report lists printed."""
        msg = parse_message(sock.recv(65536))
        if msg is None:
            fail("dropped a datagram that is not SOME/IP")
            return 0
        if msg["service"] == SD_SERVICE:
            if self.sd_address and self.on_offers(msg["payload"]):
                self.index_ids()
                self.subscribe_all(SUBSCRIBE_TTL)
            for service, instance, eventgroup, ttl in sd_answers(msg["payload"]):
                name = self.name_of(service)
                if ttl == 0:
                    fail(f"subscription refused: service 0x{service:04x} instance 0x{instance:04x} "
                         f"eventgroup {eventgroup}")
                elif name:
                    self.heard_from(name)
            return 0
        if msg["type"] != NOTIFICATION:
            return 0
        target = self.by_id.get((msg["service"], msg["method"]))
        if not target:
            return 0
        self.heard_from(target[0])
        return 1 if self.emit(*target, msg["payload"]) else 0


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
    p.add_argument("--discover", nargs="?", const="", metavar="ADDRESS:PORT",
                   help="find the services by SOME/IP service discovery at this SD address (a multicast group "
                        "or a unicast address; default: the deployment's, else "
                        f"{SD_DEFAULT}) instead of the deployment's endpoints")
    p.add_argument("--discover-timeout", type=float, default=5.0, help="seconds to wait for the offers")
    args = p.parse_args(argv)

    instances = {}
    if args.config:
        try:
            instances = config_instances(args.config)
        except ValueError as e:
            fail(f"--config {e}")
            return 2
    if args.ethernet_instance is not None:
        instances["IDSEthernetSensor"] = args.ethernet_instance
    if args.ipsec_instance is not None:
        instances["IDSIpSecuritySensor"] = args.ipsec_instance
    if args.discover is None and any(not isinstance(instances.get(n), str) for n in QUALIFIED):
        p.error("both instance identifiers are needed: --config, or --ethernet-instance and --ipsec-instance "
                "(or --discover)")
    try:
        services = load_deployment()
    except (OSError, ValueError, KeyError) as e:
        fail(f"deployment: {e}")
        return 2
    sd_default = services.pop("service_discovery", SD_DEFAULT)
    sd_text = args.discover or sd_default
    try:
        sd_address = parse_endpoint(sd_text) if args.discover is not None else None
    except ValueError:
        p.error(f"--discover wants ADDRESS:PORT with an IPv4 address, not {sd_text!r}")
    ids = {n: instance_id(instances[n]) if isinstance(instances.get(n), str) else ANY_INSTANCE for n in QUALIFIED}
    listener = Listener(services, ids, args.bind, sd_address)
    if sd_address and not listener.discover(args.discover_timeout):
        return 1
    listener.index_ids()
    if args.get:
        return listener.get(*args.get, args.timeout)
    try:
        return listener.listen(args.count, args.duration)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
