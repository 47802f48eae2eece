#!/usr/bin/env python3
"""Fault injection against the tessaly binary, each case in the private
network, mount and UTS namespaces the test runner gives it:

    tessaly_faults.py TESSALY CASE

Every case checks the error line it provokes, that the process neither
aborts nor dies by a signal, and its exit status.
"""

import json
import os
import signal
import socket
import struct
import sys
import threading
import time

import sensor_harness as h

ETHERNET = "ksr::services::idsethernetsensor::IDSEthernetSensor"
TERMINATING = "ReportApplicationState: kTerminating"


def launch(tessaly, command_prefix=(), env_extra=None, config=None):
    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    sensor = h.Sensor(command_prefix[0] if command_prefix else tessaly,
                      [*command_prefix[1:], *([tessaly] if command_prefix else []), scratch.config(config)], env_extra)
    return scratch, sensor


def wait_error(sensor, predicate, what, timeout=10):
    found = sensor.out.wait_for(lambda line: " [error] " in line and predicate(line), timeout)
    if found is None:
        sensor.kill()
        h.fail(f"no error line {what}; log:\n{sensor.dump()}")
    return found[1]


def end(sensor, expected_status, timeout=5):
    """SIGTERM, then the exit status, the terminating report and no abort."""
    sensor.proc.send_signal(signal.SIGTERM)
    status = sensor.wait_exit(timeout)
    if status is None:
        sensor.kill()
        h.fail(f"the sensor did not end after SIGTERM; log:\n{sensor.dump()}")
    sensor.out.join()
    sensor.err.join()
    stderr = "\n".join(t for _, t in sensor.err.snapshot())
    h.check("terminate called" not in stderr, f"aborted:\n{stderr}")
    h.check(status == expected_status, f"exit status {status}, wanted {expected_status}; log:\n{sensor.dump()}")
    texts = [t for _, t in sensor.messages()]
    h.check(texts and texts[-1] == TERMINATING, f"no terminating report at the end: {texts[-3:]}")
    return texts


def still_capturing(sensor):
    h.check(sensor.wait_message("IDS_Sensor : SOCKET is now in non-blocking mode ") is not None,
            "the capture did not run on")
    h.check(sensor.wait_message("[IPTrafficStatistics]: start") is not None, "the conntrack loop did not run on")


def case_port_busy(tessaly, port, service):
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    h.run("ip", "link", "set", "lo", "up")
    holder.bind(("127.0.0.1", port))
    try:
        _, sensor = launch(tessaly)
        line = wait_error(sensor, lambda l: f"cannot offer {service}" in l, f"for {service}")
        h.check(f"127.0.0.1:{port}" in line and "Address already in use" in line, f"line lacks endpoint or reason: {line}")
        still_capturing(sensor)
        end(sensor, 1)
    finally:
        holder.close()


def case_deployment(tessaly):
    h.prepare_network("qemu-arm64")
    scratch = h.Scratch()
    path = scratch.write("deployment.json", json.dumps({ETHERNET: {"address": "127.0.0.300"}}))
    sensor = h.Sensor(tessaly, [scratch.config()], {"UX_COM_DEPLOYMENT": path})
    line = wait_error(sensor, lambda l: "cannot offer IDSEthernetSensor" in l, "for the bad deployment")
    h.check(path in line and "address" in line, f"line lacks the file or the reason: {line}")
    still_capturing(sensor)
    end(sensor, 1)


def case_no_net_admin(tessaly):
    _, sensor = launch(tessaly, ("setpriv", "--bounding-set", "-net_admin"))
    wait_error(sensor, lambda l: l.endswith("[ERROR] cannot activate netfilter"), "for the capture")
    line = wait_error(sensor, lambda l: "[Traffic] netfilter activation: " in l, "with the reason")
    h.check("Operation not permitted" in line and "CAP_NET_ADMIN" in line, f"no reason: {line}")
    line = wait_error(sensor, lambda l: "[IPTrafficStatistics]:cannot join the conntrack event groups: " in l,
                      "for conntrack")
    h.check("not permitted" in line, f"no reason: {line}")
    # With both loops failed nothing is left to run: the process ends by
    # itself, reporting the failure.
    status = sensor.wait_exit(10)
    if status is None:
        sensor.kill()
        h.fail(f"the sensor kept running without workers; log:\n{sensor.dump()}")
    sensor.out.join()
    sensor.err.join()
    h.check("terminate called" not in "\n".join(t for _, t in sensor.err.snapshot()), "aborted")
    h.check(status == 1, f"exit status {status}")
    texts = [t for _, t in sensor.messages()]
    h.check(texts[-1] == TERMINATING, f"no terminating report at the end: {texts[-3:]}")


def case_term_before_offers(tessaly):
    _, sensor = launch(tessaly)
    h.check(sensor.out.wait_for(lambda l: "IDS_Sensor: Start Field Server and Traffic SW-ID= " in l, 10) is not None,
            "no start line")
    texts = end(sensor, 0)
    h.check(not any(" [error] " in t for _, t in sensor.out.snapshot()), "error lines:\n" + sensor.dump())
    h.check("Unbind group. Close nflog." in texts and "[IPTrafficStatistics]: stop" in texts, "a loop was not closed")


def get_flood(stop_event, sent):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        session = 0
        while not stop_event.is_set():
            session = session % 0xFFFF + 1
            for method in range(4):
                # REQUEST of the field's Get: service 0x1001, method = field index.
                s.sendto(struct.pack(">HHIHHBBBB", 0x1001, method, 8, 0x77, session, 1, 1, 0x00, 0),
                         ("127.0.0.1", 30501))
                sent[0] += 1


def case_term_during_gets(tessaly):
    _, sensor = launch(tessaly)
    sensor.wait_running()
    stop_event = threading.Event()
    sent = [0]
    flooder = threading.Thread(target=get_flood, args=(stop_event, sent))
    flooder.start()
    try:
        time.sleep(1)
        texts = end(sensor, 0)
    finally:
        stop_event.set()
        flooder.join()
    print(f"{sent[0]} Get requests sent")
    h.check(sent[0] > 100, "no flood")
    h.check("StopOfferService Ethernetsensor" in texts, "the offer was not stopped")


def main(argv):
    tessaly, case = argv[1:3]
    if case == "port-30501-busy":
        case_port_busy(tessaly, 30501, "IDSEthernetSensor")
    elif case == "port-30502-busy":
        case_port_busy(tessaly, 30502, "IDSIpSecuritySensor")
    elif case == "deployment-bad-address":
        case_deployment(tessaly)
    elif case == "no-net-admin":
        case_no_net_admin(tessaly)
    elif case == "term-before-offers":
        case_term_before_offers(tessaly)
    elif case == "term-during-gets":
        case_term_during_gets(tessaly)
    else:
        h.fail(f"unknown case {case}")
    print(f"PASS: {case}")


if __name__ == "__main__":
    main(sys.argv)
