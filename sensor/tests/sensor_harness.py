"""Runs the real tessaly binary inside the private namespaces of the calling
test (network, mount and UTS, set up by the test runner) and watches it from
outside: its log lines, its exit, and what a subscriber receives.
"""

import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

LOG_LINE = re.compile(r"^\S+ \S+ \[(\w+)\] (.*)$")

# The netfilter rules of the tests, shared with the demo.
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "logging_rules.nft")

CONFIG = {
    "IDS_config": {
        "aracom_InstanceId_idsethernetsensor": "1",
        "IDSEthernetSensor_limit": 1000,
        "aracom_InstanceId_idsipsecuritysensor": "2",
        "IDSIpSecuritySensor_limit": 1000,
    }
}


def run(*command, check=True):
    return subprocess.run(command, check=check, capture_output=True, text=True)


def fail(message):
    print(f"FAIL: {message}", flush=True)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def set_hostname(name):
    # hostname(1) refuses underscores, which partition names have.
    with open("/proc/sys/kernel/hostname", "w") as f:
        f.write(name)


def prepare_network(hostname):
    """Host name, loopback, logging rules and conntrack counters of this namespace."""
    set_hostname(hostname)
    # Scratch files live in this mount namespace only, even if the test is
    # killed; a fresh /tmp would hide a checkout that lives below it.
    used = [os.path.realpath(p) for p in [__file__] + sys.argv[1:] if os.path.isabs(p)]
    if not any(p.startswith("/tmp/") for p in used):
        run("mount", "-t", "tmpfs", "tessaly-test", "/tmp")
    run("ip", "link", "set", "lo", "up")
    run("nft", "-f", RULES)
    # Only after the rules: they make the kernel track connections here.
    run("sysctl", "-q", "-w", "net.netfilter.nf_conntrack_acct=1", "net.netfilter.nf_conntrack_timestamp=1")


class Scratch:
    """A directory that disappears with the test."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="tessaly-test-")
        self.path = self._dir.name

    def write(self, name, text):
        path = os.path.join(self.path, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def config(self, document=None):
        return self.write("config.json", json.dumps(document or CONFIG))


class Lines:
    """Lines of a stream, collected by a thread, each with its arrival time."""

    def __init__(self, stream):
        self._lines = []
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in stream:
            with self._cond:
                self._lines.append((time.monotonic(), raw.rstrip("\n")))
                self._cond.notify_all()

    def snapshot(self):
        with self._cond:
            return list(self._lines)

    def wait_for(self, predicate, timeout):
        """The first line (time, text) for which predicate(text) holds, or None."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self._cond:
            while True:
                for stamp, text in self._lines[seen:]:
                    if predicate(text):
                        return stamp, text
                seen = len(self._lines)
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._cond.wait(left)

    def join(self, timeout=5):
        self._thread.join(timeout)


class Sensor:
    def __init__(self, tessaly, args, env_extra=None):
        env = dict(os.environ)
        env["ARA_LOG_LEVEL"] = "debug"
        env.update(env_extra or {})
        self.proc = subprocess.Popen([tessaly, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=env, errors="replace")
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)

    def messages(self):
        """(severity, text) of every log line so far."""
        result = []
        for _, line in self.out.snapshot():
            m = LOG_LINE.match(line)
            if m:
                result.append((m.group(1), m.group(2)))
        return result

    def wait_message(self, text, timeout=10):
        return self.out.wait_for(lambda line: line.endswith("] " + text), timeout)

    def wait_running(self):
        for text in ("server Offering Service Ipsecuritysensor", "IDS_Sensor : SOCKET is now in non-blocking mode ",
                     "[IPTrafficStatistics]: start"):
            if self.wait_message(text) is None:
                self.kill()
                fail(f"the sensor did not come up (no {text!r}); its log:\n{self.dump()}")

    def wait_exit(self, timeout):
        """The exit status, or None when the process still runs after timeout seconds."""
        # A pidfd becomes readable the moment the process ends, so stop times
        # are measured without polling delays.
        fd = os.pidfd_open(self.proc.pid)
        try:
            ready, _, _ = select.select([fd], [], [], timeout)
        finally:
            os.close(fd)
        return self.proc.wait() if ready else None

    def stop(self, number, timeout=5):
        """Sends the signal; the exit status (None if still running) and the seconds it took."""
        signalled = time.monotonic()
        self.proc.send_signal(number)
        status = self.wait_exit(timeout)
        return status, time.monotonic() - signalled

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def dump(self):
        return "\n".join(t for _, t in self.out.snapshot()) + "\n--- stderr ---\n" + "\n".join(
            t for _, t in self.err.snapshot())


class Listener:
    """ids_listener.py subscribed to every field; one JSON object per notification."""

    FIELDS = 5

    def __init__(self, listener, config_path):
        self.proc = subprocess.Popen([sys.executable, listener, "--config", config_path], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)
        # Each subscription is answered with the field's current value.
        seen = set()
        deadline = time.monotonic() + 10
        while len(seen) < self.FIELDS and time.monotonic() < deadline:
            for _, line in self.out.snapshot():
                note = json.loads(line)
                seen.add((note["service"], note["field"]))
            time.sleep(0.05)
        if len(seen) < self.FIELDS:
            self.stop()
            fail(f"the listener did not get all fields: {seen}; stderr: {self.err.snapshot()}")

    def notifications(self):
        return [(stamp, json.loads(line)) for stamp, line in self.out.snapshot()]

    def wait_record(self, field, predicate, timeout=5):
        """The first record of the field that satisfies predicate, with its arrival time."""

        def matches(line):
            note = json.loads(line)
            return note["field"] == field and any(predicate(r) for r in note["records"])

        found = self.out.wait_for(matches, timeout)
        if found is None:
            return None, None
        stamp, line = found
        return stamp, next(r for r in json.loads(line)["records"] if predicate(r))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def send_udp(family, address, port, payload, source_port=0):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1" if family == socket.AF_INET else "::1", source_port))
        s.sendto(payload, (address, port))
        return s.getsockname()[1]


def tcp_exchange(family, address, port, payload, source_port=0):
    """One TCP connection with one payload from client to server, closed by both. Returns the client port."""
    loopback = "127.0.0.1" if family == socket.AF_INET else "::1"
    with socket.socket(family, socket.SOCK_STREAM) as server:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((address, port))
        server.listen()
        with socket.socket(family, socket.SOCK_STREAM) as client:
            client.bind((loopback, source_port))
            client.connect((address, port))
            peer, _ = server.accept()
            with peer:
                client.sendall(payload)
                received = b""
                while len(received) < len(payload):
                    received += peer.recv(65536)
                client.shutdown(socket.SHUT_WR)
                peer.recv(1)
            return client.getsockname()[1]


def conntrack_counters(protocol, dport):
    """(packets, bytes) of the original direction of the one entry with this destination port."""
    out = run("conntrack", "-L", "-p", protocol, "--dport", str(dport), check=False).stdout
    m = re.search(r"packets=(\d+) bytes=(\d+)", out)
    return (int(m.group(1)), int(m.group(2))) if m else None


def conntrack_delete(protocol, dport):
    run("conntrack", "-D", "-p", protocol, "--dport", str(dport), check=False)
