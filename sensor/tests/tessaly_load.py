#!/usr/bin/env python3
"""Load tests of the tessaly binary, each in the private namespaces the test
runner gives it:

    tessaly_load.py TESSALY NFLOG_FLOOD burst|limit|conntrack

burst: 5,000 logged packets at 20,000/s with a high limit are all reported.
limit: a 3-second flood with limit 10 gives about 11 reports in every second.
conntrack: 2,000 flows opened in a burst, then flushed, give all 4,000 samples.
"""

import json
import subprocess
import sys
import time

import sensor_harness as h


def start(tessaly, limit):
    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    config = {"IDS_config": dict(h.CONFIG["IDS_config"], IDSEthernetSensor_limit=limit)}
    sensor = h.Sensor(tessaly, [scratch.config(config)], {"ARA_LOG_LEVEL": "info"})
    for text in ("IDS_sensor: qemu-arm64 detected",):
        h.check(sensor.out.wait_for(lambda line: text in line, 10) is not None, "the sensor did not start")
    # Offered and both loops waiting (info level: wait for the endpoint).
    time.sleep(1.0)
    return scratch, sensor


def listen(flood, idle_ms, max_ms):
    listener = subprocess.Popen([flood, "listen", str(idle_ms), str(max_ms)], stdout=subprocess.PIPE, text=True)
    h.check(listener.stdout.readline().strip() == "ready", "the listener did not subscribe")
    time.sleep(0.3)
    return listener


def result(listener):
    out, _ = listener.communicate(timeout=120)
    return json.loads(out.strip().splitlines()[-1])


def finish(sensor):
    sensor.proc.terminate()
    status = sensor.wait_exit(10)
    sensor.kill()
    h.check(status == 0, f"exit status {status}; log:\n{sensor.dump()}")
    warnings = [t for s, t in sensor.messages() if s in ("warn", "error")]
    return warnings


def case_burst(tessaly, flood):
    _, sensor = start(tessaly, 1000000)
    listener = listen(flood, 2000, 60000)
    sent = int(h.run(flood, "send", "20000", "5000").stdout.split()[1])
    counts = result(listener)
    warnings = finish(sensor)
    print(f"burst: {sent} sent, {counts['special']} reported; warnings {warnings}")
    h.check(sent == 5000, f"only {sent} sent")
    h.check(counts["special"] == sent, f"{counts['special']} of {sent} reported")


def case_limit(tessaly, flood):
    _, sensor = start(tessaly, 10)
    listener = listen(flood, 1500, 60000)
    h.run(flood, "send", "2000", "6000")
    counts = result(listener)
    finish(sensor)
    per_second = counts["per_second"]
    print(f"limit 10: reports per second {per_second}")
    # Three whole seconds of flood; the last entry may be a partial second.
    h.check(len(per_second) >= 3, f"reports in only {len(per_second)} seconds")
    for n in per_second[:3]:
        h.check(8 <= n <= 14, f"a second with {n} reports: {per_second}")
    # Each window passes its opening report plus the limit; a flood that ends
    # just after the third second touches a fourth window.
    h.check(len(per_second) <= 4, f"reports in {len(per_second)} seconds of a 3-second flood")
    h.check(28 <= sum(per_second) <= 11 * len(per_second), f"{sum(per_second)} reports in all: {per_second}")


def case_conntrack(tessaly, flood):
    _, sensor = start(tessaly, 1000)
    listener = listen(flood, 3000, 60000)
    opened = int(h.run(flood, "flows", "2000").stdout.split()[1])
    time.sleep(0.5)
    h.run("conntrack", "-F", check=False)
    counts = result(listener)
    warnings = finish(sensor)
    print(f"conntrack: {opened} flows, {counts['flows']} samples; warnings {warnings}")
    h.check(opened == 2000, f"only {opened} flows")
    # A few more entries come from the test's own SOME/IP exchange.
    h.check(2 * opened <= counts["flows"] <= 2 * opened + 20, f"{counts['flows']} samples of {2 * opened}")


def main(argv):
    tessaly, flood, case = argv[1:4]
    {"burst": case_burst, "limit": case_limit, "conntrack": case_conntrack}[case](tessaly, flood)
    print(f"PASS: {case}")


if __name__ == "__main__":
    main(sys.argv)
