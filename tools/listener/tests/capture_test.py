"""Looks at the sensor services' traffic from outside: a capture of the
loopback interface, decoded by tshark's SOME/IP and SOME/IP-SD dissectors,
must show the right IDs and message types, and the listener must print the
reports it received.

Runs in a private network namespace (so the capture sees only this test's
traffic): usage: capture_test.py <demo server program> <listener program>
"""

import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = LISTENER = None
ETHERNET, IPSEC = 0x1001, 0x1002
ETHERNET_INSTANCE, IPSEC_INSTANCE = 7, 8
FIELDS = ["frame.number", "udp.srcport", "udp.dstport", "someip.serviceid", "someip.methodid",
          "someip.messagetype", "someip.returncode", "someipsd.entry.type", "someipsd.entry.serviceid",
          "someipsd.entry.instanceid", "someipsd.entry.eventgroupid", "someipsd.entry.ttl", "someipsd.option.port",
          "someipsd.option.proto", "_ws.malformed"]


def number(text):
    return int(text, 0) if text else None


def wait_for_line(path, text, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        time.sleep(0.05)
    return False


class CaptureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        os.environ.pop("UX_COM_DEPLOYMENT", None)  # the default endpoints
        cls.work = tempfile.TemporaryDirectory()
        w = cls.work.name
        capture = os.path.join(w, "lo.pcapng")
        tshark_err = os.path.join(w, "tshark.err")
        cls.logs = [open(tshark_err, "w"), open(os.path.join(w, "server.out"), "w")]
        cls.tshark = subprocess.Popen(["tshark", "-i", "lo", "-f", "udp", "-w", capture],
                                      stdout=subprocess.DEVNULL, stderr=cls.logs[0])
        server = None
        try:
            if not wait_for_line(tshark_err, "Capturing on", 20):
                raise RuntimeError("tshark did not start capturing")
            server_out = os.path.join(w, "server.out")
            server = subprocess.Popen([SERVER, str(ETHERNET_INSTANCE), str(IPSEC_INSTANCE), "30"],
                                      stdout=cls.logs[1], stderr=subprocess.STDOUT)
            if not wait_for_line(server_out, "ready", 10):
                raise RuntimeError("demo server did not come up")
            args = [sys.executable, LISTENER, "--ethernet-instance", str(ETHERNET_INSTANCE),
                    "--ipsec-instance", str(IPSEC_INSTANCE)]
            cls.get = subprocess.run(args + ["--get", "IDSEthernetSensor.specialFrameReports"],
                                     capture_output=True, text=True, timeout=20)
            cls.listen = subprocess.run(args + ["--count", "12"], capture_output=True, text=True, timeout=30)
            cls.client_port = cls.raw_requests()
            time.sleep(0.5)
        finally:
            if server:
                server.terminate()
                server.wait(10)
            cls.tshark.terminate()
            cls.tshark.wait(20)
        out = subprocess.run(["tshark", "-r", capture, "-d", "udp.port==30501,someip", "-d", "udp.port==30502,someip",
                              # the services' SD offers
                              "-d", "udp.port==30490,someip",
                              "-T", "fields", "-E", "separator=;", "-E", "occurrence=f"]
                             + sum([["-e", f] for f in FIELDS], []),
                             capture_output=True, text=True, check=True).stdout
        cls.packets = [dict(zip(FIELDS, line.split(";"))) for line in out.splitlines()]
        for p in cls.packets[:12]:
            print(" ".join(f"{k}={v}" for k, v in p.items() if v), file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        for f in cls.logs:
            f.close()
        cls.work.cleanup()

    @staticmethod
    def raw_requests():
        """An unknown method and a subscription to an eventgroup that does not exist."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            return CaptureTest._send_raw(s)

    @staticmethod
    def _send_raw(s):
        s.bind(("127.0.0.1", 0))
        s.settimeout(2)
        s.sendto(struct.pack(">HHIHHBBBB", ETHERNET, 9, 8, 1, 1, 1, 1, 0, 0), ("127.0.0.1", 30501))
        s.recv(100)
        entry = struct.pack(">BBBBHHB", 6, 0, 0, 0x10, ETHERNET, ETHERNET_INSTANCE, 1) + b"\x00\x00\x05" \
            + struct.pack(">HH", 0, 9)
        option = struct.pack(">HBB", 9, 4, 0) + socket.inet_aton("127.0.0.1") + struct.pack(">BBH", 0, 0x11,
                                                                                         s.getsockname()[1])
        payload = b"\xc0\x00\x00\x00" + struct.pack(">I", 16) + entry + struct.pack(">I", 12) + option
        s.sendto(struct.pack(">HHIHHBBBB", 0xFFFF, 0x8100, 8 + len(payload), 0, 1, 1, 1, 2, 0) + payload,
                 ("127.0.0.1", 30501))
        s.recv(100)
        return s.getsockname()[1]

    def find(self, **want):
        return [p for p in self.packets if all(number(p[k.replace("__", ".")]) == v for k, v in want.items())]

    def test_nothing_is_malformed(self):
        self.assertGreater(len(self.packets), 20)
        self.assertEqual([p["frame.number"] for p in self.packets if p["_ws.malformed"]], [])

    def test_get_request_and_response(self):
        self.assertTrue(self.find(someip__serviceid=ETHERNET, someip__methodid=2, someip__messagetype=0x00,
                                  udp__dstport=30501))
        self.assertTrue(self.find(someip__serviceid=ETHERNET, someip__methodid=2, someip__messagetype=0x80,
                                  someip__returncode=0, udp__srcport=30501))
        self.assertEqual(self.get.returncode, 0, self.get.stderr)
        line = json.loads(self.get.stdout)
        self.assertEqual((line["service"], line["field"]), ("IDSEthernetSensor", "specialFrameReports"))
        self.assertEqual(line["records"][0]["reportTypeId"], "7d0c36c4fce445fc")

    def test_subscriptions_and_acks(self):
        for service, instance, port, groups in ((ETHERNET, ETHERNET_INSTANCE, 30501, range(1, 5)),
                                                (IPSEC, IPSEC_INSTANCE, 30502, [1])):
            for group in groups:
                with self.subTest(service=hex(service), eventgroup=group):
                    subs = self.find(someip__serviceid=0xFFFF, someip__methodid=0x8100, someipsd__entry__type=6,
                                     someipsd__entry__serviceid=service, someipsd__entry__instanceid=instance,
                                     someipsd__entry__eventgroupid=group, udp__dstport=port, someipsd__option__proto=0x11)
                    self.assertTrue(subs)
                    self.assertTrue(all(number(p["someipsd.option.port"]) == number(p["udp.srcport"]) for p in subs))
                    acks = self.find(someipsd__entry__type=7, someipsd__entry__serviceid=service,
                                     someipsd__entry__eventgroupid=group, udp__srcport=port)
                    self.assertTrue([p for p in acks if number(p["someipsd.entry.ttl"]) > 0])

    def test_nack_for_unknown_eventgroup(self):
        self.assertTrue(self.find(someipsd__entry__type=7, someipsd__entry__eventgroupid=9, someipsd__entry__ttl=0,
                                  udp__dstport=self.client_port))

    def test_notifications_of_every_field(self):
        for service, event, port in ((ETHERNET, 0x8000, 30501), (ETHERNET, 0x8001, 30501),
                                     (ETHERNET, 0x8002, 30501), (ETHERNET, 0x8003, 30501), (IPSEC, 0x8000, 30502)):
            with self.subTest(service=hex(service), event=hex(event)):
                self.assertTrue(self.find(someip__serviceid=service, someip__methodid=event,
                                          someip__messagetype=0x02, udp__srcport=port))
        self.assertEqual(self.listen.returncode, 0, self.listen.stderr)
        lines = [json.loads(l) for l in self.listen.stdout.splitlines()]
        self.assertEqual(len(lines), 12)
        seen = {(l["service"], l["field"]) for l in lines}
        self.assertIn(("IDSIpSecuritySensor", "firewallFilterReports"), seen)
        self.assertIn(("IDSEthernetSensor", "trafficFlowSamples"), seen)
        flows = [l["records"][0] for l in lines if l["field"] == "trafficFlowSamples" and l["records"]]
        self.assertTrue(flows)
        self.assertEqual(flows[0]["sourceIpAddr"], "10.0.0.1")
        self.assertEqual(flows[0]["protocol"], 17)

    def test_unknown_method_error(self):
        self.assertTrue(self.find(someip__serviceid=ETHERNET, someip__methodid=9, someip__messagetype=0x81,
                                  someip__returncode=0x03, udp__dstport=self.client_port))


if __name__ == "__main__":
    SERVER, LISTENER = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
