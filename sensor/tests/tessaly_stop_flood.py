#!/usr/bin/env python3
"""A stop under load loses nothing, in the private namespaces the test runner
gives it:

    tessaly_stop_flood.py TESSALY NFLOG_FLOOD

While 20,000 packets/s are logged (limit 1,000,000), the sensor gets SIGTERM
with about 1,000 logged packets still queued for it: every packet nftables
logged before the signal is reported, and the sensor exits 0 within 300 ms.
"""

import re
import signal
import subprocess
import sys
import time

import sensor_harness as h
import tessaly_load as load


def logged_so_far():
    """Packets the DoIP logging rule has handed over so far."""
    out = h.run("nft", "list", "chain", "inet", "tessaly_logging", "output").stdout
    m = re.search(r"udp dport 13400 counter packets (\d+)", out)
    h.check(m is not None, f"no counter in:\n{out}")
    return int(m.group(1))


def main(argv):
    tessaly, flood = argv[1:3]
    _, sensor = load.start(tessaly, 1000000)
    # Counts what reaches the end of the chain, i.e. each packet the log rule
    # before it has seen.
    h.run("nft", "add", "rule", "inet", "tessaly_logging", "output", "udp", "dport", "13400", "counter")
    listener = load.listen(flood, 1500, 60000)
    sender = subprocess.Popen([flood, "send", "20000", "100000"], stdout=subprocess.DEVNULL)
    try:
        time.sleep(1.5)
        # Held still, the sensor leaves what is logged meanwhile in the kernel's
        # queue; then the flood is held too, so that the count is exactly what
        # was logged before the stop request.
        sensor.proc.send_signal(signal.SIGSTOP)
        time.sleep(0.05)
        sender.send_signal(signal.SIGSTOP)
        before = logged_so_far()
        sensor.proc.send_signal(signal.SIGTERM)
        # The request takes effect when the sensor runs again.
        status, elapsed = sensor.stop(signal.SIGCONT)
    finally:
        sender.kill()
        sender.wait()
        sensor.kill()
    counts = load.result(listener)
    print(f"SIGTERM under 20,000/s: {before} logged before the signal, {counts['special']} reported; "
          f"exit status {status} after {elapsed * 1000:.0f} ms")
    h.check(before > 10000, f"only {before} packets logged before the signal")
    h.check(status == 0, f"exit status {status}; log:\n{sensor.dump()}")
    h.check(elapsed <= 0.3, f"took {elapsed * 1000:.0f} ms to end")
    h.check(counts["special"] >= before, f"{counts['special']} of {before} logged packets reported")
    print("PASS: stop under flood")


if __name__ == "__main__":
    main(sys.argv)
