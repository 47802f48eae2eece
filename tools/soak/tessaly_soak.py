"""tessaly under a steady logged flood with conntrack churn and subscribers
that come and go, for the given minutes. Run as root in private network,
mount and UTS namespaces (scripts/soak.sh does). Prints the sensor's resident
memory, open descriptors and socket drop counts after a warm-up and then
every minute; fails when memory or descriptors grow or the sensor dies.

Usage: tessaly_soak.py TESSALY LISTENER [minutes] [packets per second]
"""

import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sensor", "tests"))
import sensor_harness as h  # noqa: E402

WARM_UP = 20  # seconds before the baseline sample
SUBSCRIBER_EVERY = 5  # a new subscriber this often
SUBSCRIBER_LIFE = 15  # seconds each one stays
CONNTRACK_FLUSH_EVERY = 5
# Growth allowed between the baseline and any later sample.
RSS_SLACK_KB = 4096
RSS_SLACK_SHARE = 0.10
FD_SLACK = 2

# One SOME/IP-SD message with a SubscribeEventgroup entry (logged as a
# service discovery report when sent to port 30490).
SD_SUBSCRIBE = bytes.fromhex(
    "ffff8100 00000030 00000001 01010200"  # SOME/IP header, length 8 + 40
    "c0000000 00000010"                    # flags, entries length
    "06000010 10010001 01000005 00000001"  # SubscribeEventgroup 0x1001/1 eg 1
    "0000000c 00090400 7f000001 00110fa0")  # options: IPv4 endpoint 127.0.0.1:4000
DHCPV6_SOLICIT = bytes.fromhex("01000001") + bytes(16)


def proc_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def socket_inodes(pid):
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    return inodes


def drops(pid):
    """Drop counters of the sensor's sockets: the NFLOG socket (netfilter
    netlink without multicast groups), the conntrack event socket (with
    groups) and the UDP sockets of the services."""
    inodes = socket_inodes(pid)
    nflog = conntrack = udp = 0
    with open("/proc/net/netlink") as f:
        header = f.readline().split()
        for line in f:
            row = dict(zip(header, line.split()))
            if row.get("Inode") in inodes and row.get("Eth") == "12":
                if int(row.get("Groups", "0"), 16) == 0:
                    nflog += int(row.get("Drops", 0))
                else:
                    conntrack += int(row.get("Drops", 0))
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        with open(table) as f:
            f.readline()
            for line in f:
                cols = line.split()
                if cols[9] in inodes:
                    udp += int(cols[-1])
    return nflog, conntrack, udp


class Flood:
    """Logged packets at a steady rate, each from a new source port, so that
    every one is also a new conntrack entry; the table is flushed regularly."""

    def __init__(self, rate):
        self.rate = rate
        self.sent = 0
        self.flushes = 0
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._send, daemon=True),
                        threading.Thread(target=self._churn, daemon=True)]
        for t in self.threads:
            t.start()

    def _send(self):
        targets = [(5555, b"classifier flood"), (30490, SD_SUBSCRIBE), (547, DHCPV6_SOLICIT), (13400, b"\x02\xfd")]
        period = 1.0 / self.rate
        next_at = time.monotonic()
        i = 0
        while not self.stopping.is_set():
            port, payload = targets[i % len(targets)]
            if i % 50 == 49:
                # A refused telnet connection: the firewall report group.
                with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                    s.setblocking(False)
                    try:
                        s.connect(("127.0.0.1", 23))
                    except OSError:
                        pass
            else:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                    s.sendto(payload, ("127.0.0.1", port))
            self.sent += 1
            i += 1
            next_at += period
            delay = next_at - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            elif delay < -1:
                next_at = time.monotonic()  # behind by more than a second: do not burst

    def _churn(self):
        while not self.stopping.wait(CONNTRACK_FLUSH_EVERY):
            subprocess.run(["conntrack", "-F"], capture_output=True)
            self.flushes += 1

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join(5)


class Subscribers:
    """ids_listener.py processes, a new one every few seconds, each for a while."""

    def __init__(self, listener, config):
        self.listener = listener
        self.config = config
        self.started = 0
        self.records = 0
        self.live = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _start_one(self):
        proc = subprocess.Popen([sys.executable, self.listener, "--config", self.config],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        counter = {"records": 0}

        def read():
            for _ in proc.stdout:
                counter["records"] += 1

        threading.Thread(target=read, daemon=True).start()
        self.live.append((time.monotonic(), proc, counter))
        self.started += 1

    def _retire(self, proc, counter):
        proc.send_signal(2)
        try:
            proc.wait(3)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        self.records += counter["records"]

    def _run(self):
        while not self.stopping.is_set():
            now = time.monotonic()
            for entry in [e for e in self.live if now - e[0] >= SUBSCRIBER_LIFE]:
                self.live.remove(entry)
                self._retire(entry[1], entry[2])
            self._start_one()
            self.stopping.wait(SUBSCRIBER_EVERY)

    def stop(self):
        self.stopping.set()
        self.thread.join(10)
        for _, proc, counter in self.live:
            self._retire(proc, counter)
        self.live = []


def wait_for_ports(ports, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/udp") as f:
            bound = {int(line.split()[1].split(":")[1], 16) for line in list(f)[1:]}
        if all(p in bound for p in ports):
            return True
        time.sleep(0.2)
    return False


def main():
    tessaly, listener = sys.argv[1], sys.argv[2]
    minutes = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 300

    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    config = scratch.config({"IDS_config": {
        "aracom_InstanceId_idsethernetsensor": "1", "IDSEthernetSensor_limit": 100,
        "aracom_InstanceId_idsipsecuritysensor": "2", "IDSIpSecuritySensor_limit": 100}})
    log = open(os.path.join(scratch.path, "tessaly.log"), "w")
    env = dict(os.environ, ARA_LOG_LEVEL="warn")
    sensor = subprocess.Popen([tessaly, config], stdout=log, stderr=subprocess.STDOUT, env=env)
    pid = sensor.pid
    if not wait_for_ports([30501, 30502]):
        sensor.kill()
        h.fail("the sensor did not bind its service ports")
    time.sleep(2)

    flood = Flood(rate)
    subscribers = Subscribers(listener, config)
    failures = []
    try:
        time.sleep(WARM_UP)
        base_rss, base_fds = proc_kb(pid, "VmRSS"), len(os.listdir(f"/proc/{pid}/fd"))
        print(f"soak: tessaly baseline after {WARM_UP} s: rss {base_rss} kB, open fds {base_fds}", flush=True)
        for minute in range(1, minutes + 1):
            time.sleep(60)
            if sensor.poll() is not None:
                failures.append(f"tessaly exited with {sensor.returncode} in minute {minute}")
                break
            rss, hwm = proc_kb(pid, "VmRSS"), proc_kb(pid, "VmHWM")
            fds = len(os.listdir(f"/proc/{pid}/fd"))
            nflog_drops, conntrack_drops, udp_drops = drops(pid)
            print(f"soak: minute {minute}: rss {rss} kB (peak {hwm} kB), open fds {fds}, "
                  f"logged packets sent {flood.sent}, conntrack flushes {flood.flushes}, "
                  f"subscribers started {subscribers.started}, "
                  f"drops: nflog {nflog_drops}, conntrack events {conntrack_drops}, udp {udp_drops}", flush=True)
            if rss > base_rss + max(RSS_SLACK_KB, int(base_rss * RSS_SLACK_SHARE)):
                failures.append(f"resident memory grew from {base_rss} kB to {rss} kB by minute {minute}")
            if fds > base_fds + FD_SLACK:
                failures.append(f"open descriptors grew from {base_fds} to {fds} by minute {minute}")
    finally:
        flood.stop()
        subscribers.stop()
        sensor.terminate()
        try:
            sensor.wait(20)
        except subprocess.TimeoutExpired:
            sensor.kill()
            sensor.wait()
            failures.append("tessaly did not stop on SIGTERM within 20 s")
        log.close()
    print(f"soak: subscribers received {subscribers.records} notifications in all", flush=True)
    if failures:
        with open(os.path.join(scratch.path, "tessaly.log")) as f:
            tail = f.readlines()[-30:]
        for failure in failures:
            print(f"FAIL: {failure}")
        print("tessaly log (last lines):\n" + "".join(tail))
        sys.exit(1)
    print("soak: tessaly memory and descriptors flat")


if __name__ == "__main__":
    main()
