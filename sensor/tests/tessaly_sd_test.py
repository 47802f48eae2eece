#!/usr/bin/env python3
"""Service discovery and the Wireshark view of a live tessaly, in the private
network namespace of the test runner:

    tessaly_sd_test.py TESSALY LISTENER LUA_PLUGIN [multicast]

The sensor's services sit on endpoints no client knows in advance (40501,
40502), so the listener can only reach them through the SD offers; the
sensor is restarted once under the listener. A capture of the loopback interface is then decoded by tshark: the offers and
StopOffers, and, with the Lua plugin, the members of every record type.
With "multicast" the deployment names a multicast SD group instead: the
offers must reach a member of the group, and the listener finds the
services there.
"""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import sensor_harness as h

TESSALY, LISTENER, PLUGIN = sys.argv[1:4]
MODE = sys.argv[4] if len(sys.argv) > 4 else "unicast"
GROUP = "224.224.224.245"
ETHERNET, IPSEC = 0x1001, 0x1002
PORTS = {ETHERNET: 40501, IPSEC: 40502}
INSTANCES = {ETHERNET: 1, IPSEC: 2}  # h.CONFIG
SW_ID = 42
TSHARK_PORTS = ["-d", "udp.port==30490,someip", "-d", "udp.port==40501,someip", "-d", "udp.port==40502,someip"]


def find_service(service, instance):
    entry = struct.pack(">BBBBHHB", 0x00, 0, 0, 0, service, instance, 0xFF) + (3).to_bytes(3, "big") \
        + struct.pack(">I", 0xFFFFFFFF)
    payload = bytes([0xC0, 0, 0, 0]) + struct.pack(">I", 16) + entry + struct.pack(">I", 0)
    return struct.pack(">HHIHHBBBB", 0xFFFF, 0x8100, 8 + len(payload), 0, 1, 1, 1, 0x02, 0) + payload


def offers_in(datagram):
    """(service, instance, major, ttl, address, port) of the OfferService entries of an SD datagram."""
    sys.path.insert(0, os.path.dirname(LISTENER))
    import ids_listener
    msg = ids_listener.parse_message(datagram)
    h.check(msg is not None and msg["service"] == 0xFFFF, f"answer is not SOME/IP-SD: {datagram.hex()}")
    n = struct.unpack(">I", msg["payload"][4:8])[0]
    majors = [msg["payload"][8 + o + 8] for o in range(0, n, 16)]
    return [(s, i, majors[k], ttl, a, p) for k, (s, i, ttl, a, p) in enumerate(ids_listener.sd_offers(msg["payload"]))]


def ask(find, timeout, expected=()):
    """The SD answers to one FindService: until offers of every expected service came, at most timeout seconds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.sendto(find, ("127.0.0.1", 30490))
        deadline = time.monotonic() + timeout
        answers = []
        while not expected or not set(expected) <= {a[0] for a in answers}:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            s.settimeout(left)
            try:
                answers += offers_in(s.recv(65536))
            except socket.timeout:
                break
        return answers


def tshark(capture, *args):
    out = subprocess.run(["tshark", "-r", capture, *TSHARK_PORTS, *args], capture_output=True, text=True,
                         timeout=60)
    h.check(out.returncode == 0, f"tshark failed: {out.stderr}")
    return out.stdout


def rows(capture, fields, *args):
    cmd = [a for f in fields for a in ("-e", f)]
    text = tshark(capture, "-T", "fields", "-E", "separator=|", "-E", "occurrence=a", "-E", "aggregator=,", *cmd,
                  *args)
    return [dict(zip(fields, line.split("|"))) for line in text.splitlines()]


def main():
    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    deployment = scratch.write("deployment.json", ",".join([
        '{"ksr::services::idsethernetsensor::IDSEthernetSensor": {"port": 40501}',
        '"ksr::services::idsipsecuritysensor::IDSIpSecuritySensor": {"port": 40502}}']))
    capture = os.path.join(scratch.path, "lo.pcapng")
    tshark_proc = subprocess.Popen(["tshark", "-i", "lo", "-f", "udp", "-w", capture], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
    tshark_err = h.Lines(tshark_proc.stderr)
    sensor = listener = None
    try:
        h.check(tshark_err.wait_for(lambda l: "Capturing on" in l, 30) is not None, "tshark did not start capturing")
        sensor = h.Sensor(TESSALY, [scratch.config()], {"UX_COM_DEPLOYMENT": deployment})
        sensor.wait_running()

        # A FindService for one service, for any instance, and for every service.
        for find, expected in ((find_service(ETHERNET, 1), {ETHERNET}), (find_service(IPSEC, 0xFFFF), {IPSEC}),
                               (find_service(0xFFFF, 0xFFFF), {ETHERNET, IPSEC})):
            answers = ask(find, 5, expected)
            h.check({a[0] for a in answers} == expected, f"answers {answers} instead of offers of {expected}")
            for service, instance, major, ttl, address, port in answers:
                h.check((instance, major, address, port) == (INSTANCES[service], 1, "127.0.0.1", PORTS[service])
                        and ttl > 0, f"offer {service:#x}: {(instance, major, ttl, address, port)}")
        h.check(ask(find_service(ETHERNET, 9), 0.3) == [], "offer for an instance that is not offered")

        # The listener, told nothing but the SD address (the default), finds both services.
        listener = subprocess.Popen([sys.executable, LISTENER, "--discover"], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        out, err = h.Lines(listener.stdout), h.Lines(listener.stderr)
        for service, name in ((ETHERNET, "IDSEthernetSensor"), (IPSEC, "IDSIpSecuritySensor")):
            found = f"found {name} (service {service:#06x} instance {INSTANCES[service]:#06x}) at " \
                    f"127.0.0.1:{PORTS[service]} by service discovery"
            h.check(err.wait_for(lambda l, found=found: found in l, 10) is not None,
                    f"listener did not find {name}: {err.snapshot()}")

        # One report of each type, as the demo makes them.
        h.send_udp(socket.AF_INET, "127.0.0.1", 13400, bytes.fromhex("02fd000100000000"))
        h.send_udp(socket.AF_INET, "127.0.0.1", 30490, bytes.fromhex("ffff8100000000140000000101010200"))
        h.send_udp(socket.AF_INET6, "::1", 5555, b"classified")
        try:
            socket.create_connection(("127.0.0.1", 23), timeout=1).close()
        except OSError:
            pass
        h.tcp_exchange(socket.AF_INET, "127.0.0.1", 8080, b"GET / HTTP/1.0\r\n\r\n")
        fields = {"specialFrameReports", "serviceDiscoveryReports", "classifierMatchReports",
                  "firewallFilterReports", "trafficFlowSamples"}
        for field in fields:
            h.check(out.wait_for(lambda l, f=field: f'"field": "{f}"' in l and '"records": []' not in l, 10),
                    f"the listener got no {field} record: {err.snapshot()}")
        get = subprocess.run([sys.executable, LISTENER, "--discover", "--get", "trafficFlowSamples"],
                             capture_output=True, text=True, timeout=30)
        h.check(get.returncode == 0 and '"records": [{' in get.stdout, f"Get by discovery: {get.stderr}")
        # SD traffic of others is reported (the FindService messages too), the
        # sensor's own offers (from 127.0.0.1:30490) are not.
        sd_ports = [int.from_bytes(bytes.fromhex(r["payload"])[20:22], "big") for _, line in out.snapshot()
                    for r in json.loads(line)["records"] if "serviceDiscoveryReports" in line]
        h.check(sd_ports and 30490 not in sd_ports, f"source ports of the SD reports: {sd_ports}")

        # A sensor restart: the listener says when the services fall silent and
        # when they answer again, and goes on receiving.
        def stop_sensor():
            sensor.proc.send_signal(signal.SIGTERM)
            h.check(sensor.wait_exit(20) == 0, "the sensor did not stop with status 0")

        stop_sensor()
        for name in ("IDSEthernetSensor", "IDSIpSecuritySensor"):
            h.check(err.wait_for(lambda l, n=name: f"{n} at 127.0.0.1:" in l and "stopped answering" in l, 12),
                    f"the listener did not notice that {name} stopped: {err.snapshot()}")
        sensor = h.Sensor(TESSALY, [scratch.config()], {"UX_COM_DEPLOYMENT": deployment})
        sensor.wait_running()
        for name in ("IDSEthernetSensor", "IDSIpSecuritySensor"):
            h.check(err.wait_for(lambda l, n=name: f"{n} answers again; subscribed anew" in l, 10),
                    f"the listener did not subscribe to {name} again: {err.snapshot()}")
        h.send_udp(socket.AF_INET, "127.0.0.1", 13400, b"after the restart")
        h.check(out.wait_for(lambda l: b"after the restart".hex() in l, 5), "no report after the restart")

        listener.send_signal(signal.SIGINT)
        listener.wait(5)
        listener = None
        stop_sensor()
        time.sleep(0.5)
    finally:
        if listener is not None:
            listener.kill()
        if sensor is not None:
            sensor.kill()
        tshark_proc.send_signal(signal.SIGINT)
        tshark_proc.wait(20)

    # The offers and StopOffers as tshark's SOME/IP-SD dissector reads them.
    sd = rows(capture, ["frame.number", "udp.srcport", "someipsd.flags", "someipsd.entry.type", "someipsd.entry.serviceid",
                        "someipsd.entry.instanceid", "someipsd.entry.majorver", "someipsd.entry.ttl",
                        "someipsd.option.ipv4address", "someipsd.option.port", "someipsd.option.proto"],
              "-Y", "udp.srcport==30490 && udp.dstport==30490")
    for service in (ETHERNET, IPSEC):
        def entries(ttl_zero, service=service):
            return [r for r in sd if r["someipsd.entry.type"] == "0x01" and
                    int(r["someipsd.entry.serviceid"], 0) == service and (r["someipsd.entry.ttl"] == "0") == ttl_zero]
        offers, stops = entries(False), entries(True)
        h.check(len(offers) >= 4, f"{len(offers)} cyclic offers of {service:#x} in the capture: {sd}")
        h.check(len(stops) == 2, f"{len(stops)} StopOffers of {service:#x} from two runs: {sd}")
        for r in offers + stops:
            h.check((int(r["someipsd.entry.instanceid"], 0), r["someipsd.entry.majorver"],
                     r["someipsd.option.ipv4address"], r["someipsd.option.port"], r["someipsd.option.proto"]) ==
                    (INSTANCES[service], "1", "127.0.0.1", str(PORTS[service]), "17"), f"entry {r}")
    first_offer = next(r for r in sd if r["someipsd.entry.ttl"] != "0")["frame.number"]
    print(tshark(capture, "-V", "-O", "someip,someipsd", "-Y", f"frame.number == {first_offer}"), flush=True)

    # Every record type through the Lua plugin.
    reports = rows(capture, ["frame.number", "someip.methodid", "someip.messagetype", "ids.recordType", "ids.swId", "ids.timestamp",
                             "ids.frameType", "ids.logPrefix", "ids.payload", "ids.truncatedLength",
                             "ids.sourceIpAddr", "ids.destinationIpAddr", "ids.protocol", "ids.sourcePort",
                             "ids.destinationPort", "ids.packets", "ids.bytes", "_ws.malformed", "_ws.expert"],
                   "-X", f"lua_script:{PLUGIN}", "-Y", "ids.recordType")
    seen = {}
    for r in reports:
        h.check(not r["_ws.malformed"] and not r["_ws.expert"], f"tshark finds a fault: {r}")
        for kind in r["ids.recordType"].split(","):
            seen.setdefault(kind, r)
    now = time.time()
    expected = {
        "DT_specialFrameReports_struct": ["ids.frameType", "ids.payload", "ids.truncatedLength"],
        "DT_serviceDiscoveryReports_struct": ["ids.payload", "ids.truncatedLength"],
        "DT_classifierMatchReports_struct": ["ids.logPrefix", "ids.payload", "ids.truncatedLength"],
        "DT_firewallFilterReports_struct": ["ids.logPrefix", "ids.payload", "ids.truncatedLength"],
        "DT_trafficFlowSamples_struct": ["ids.sourceIpAddr", "ids.destinationIpAddr", "ids.protocol",
                                         "ids.sourcePort", "ids.destinationPort", "ids.packets", "ids.bytes"],
    }
    h.check(set(seen) == set(expected), f"record types decoded: {sorted(seen)}")
    for kind, members in expected.items():
        r = seen[kind]
        h.check(r["ids.swId"].split(",")[0] == str(SW_ID), f"{kind} swId {r['ids.swId']}")
        h.check(all(r[m] for m in members), f"{kind} lacks one of {members}: {r}")
        if kind != "DT_trafficFlowSamples_struct":
            h.check(abs(int(r["ids.timestamp"].split(",")[0]) - now) < 120, f"{kind} timestamp {r['ids.timestamp']}")
    h.check(seen["DT_specialFrameReports_struct"]["ids.frameType"].split(",")[0] == "5", "DoIP frame type")
    h.check(seen["DT_firewallFilterReports_struct"]["ids.logPrefix"] == "firewallFilterReports.reject.telnet",
            "firewall log prefix")
    flows = [r for r in reports if "DT_trafficFlowSamples_struct" in r["ids.recordType"]]
    h.check(any(r["ids.destinationPort"] == "8080" and r["ids.sourceIpAddr"] == "127.0.0.1" and
                r["ids.protocol"] == "6" for r in flows), f"no flow sample of the TCP connection: {flows}")
    h.check(any(r["someip.messagetype"] == "0x80" for r in flows), "no Get answer decoded")
    frames = ",".join(r["frame.number"] for r in seen.values())
    print(tshark(capture, "-V", "-X", f"lua_script:{PLUGIN}", "-Y", f"frame.number in {{{frames}}}", "-O", "ids"),
          flush=True)
    print("PASS", flush=True)


def main_multicast():
    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    deployment = scratch.write("deployment.json", json.dumps({"service_discovery": {"address": GROUP, "port": 30490}}))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as member:
        member.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        member.bind(("", 30490))
        member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                          socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1"))
        sensor = h.Sensor(TESSALY, [scratch.config()], {"UX_COM_DEPLOYMENT": deployment})
        try:
            sensor.wait_running()
            member.settimeout(3)
            heard = set()
            while len(heard) < 2:
                data, source = member.recvfrom(65536)
                heard |= {(o[0], o[4], o[5]) for o in offers_in(data) if o[3] > 0}
            h.check(heard == {(ETHERNET, "127.0.0.1", 30501), (IPSEC, "127.0.0.1", 30502)} and
                    source == ("127.0.0.1", 30490), f"offers heard in the group: {heard} from {source}")
            found = subprocess.run([sys.executable, LISTENER, "--discover", f"{GROUP}:30490", "--duration", "1"],
                                   capture_output=True, text=True, timeout=30)
            for name, port in (("IDSEthernetSensor", 30501), ("IDSIpSecuritySensor", 30502)):
                h.check(f"{name} (service" in found.stderr and f"at 127.0.0.1:{port} by service discovery" in
                        found.stderr, f"the listener did not find {name} in the group: {found.stderr}")
            h.check(found.returncode == 0 and found.stdout.count('"field"') >= 5,
                    f"listener in the group: {found.stdout} {found.stderr}")
            sensor.proc.send_signal(signal.SIGTERM)
            h.check(sensor.wait_exit(20) == 0, "the sensor did not stop with status 0")
            stops = set()
            while len(stops) < 2:
                stops |= {o[0] for o in offers_in(member.recv(65536)) if o[3] == 0}
        finally:
            sensor.kill()
    print("PASS", flush=True)


if __name__ == "__main__":
    main_multicast() if MODE == "multicast" else main()
