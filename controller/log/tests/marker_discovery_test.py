#!/usr/bin/env python3
"""Marker clock discovery, seen from outside. Runs only inside a private mount
namespace: it hides the platform device directory under a tmpfs of its own so
that the discovery finds the trees this test builds.
Usage: marker_discovery_test.py <log_probe>"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

PROBE = None
PLATFORM = "/sys/devices/platform"
SOC = PLATFORM + "/soc"
FIRST = SOC + "/e61d0000.sucmt/ptp"
SECOND = SOC + "/e6800000.ptp/ptp"
STAMPED = re.compile(r"^(\d+)\.(\d{9}) (\w+)_ADAPTIVE_CONT_probe$")


def private_mount_namespace():
    # The caller (CTest, or a shell) stays in the namespace the test must not touch.
    try:
        return os.readlink("/proc/self/ns/mnt") != os.readlink("/proc/%d/ns/mnt" % os.getppid())
    except OSError:
        return False


def make_tree(directory, entries):
    os.makedirs(directory, exist_ok=True)
    for entry in entries:
        open(os.path.join(directory, entry), "w").close()


class Marker_discovery(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run(["mount", "-t", "tmpfs", "test-platform", PLATFORM], check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["umount", PLATFORM], check=False)

    def setUp(self):
        shutil.rmtree(SOC, ignore_errors=True)

    def markers(self, between=None, level=None):
        """Two markers from one process; between() runs after the first."""
        env = dict(os.environ)
        env.pop("LOGLEVEL", None)
        if level is not None:
            env["LOGLEVEL"] = level
        proc = subprocess.Popen([PROBE, "markers"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        first = proc.stdout.readline() if level != "QUIET" else ""
        if between:
            between()
        rest, err = proc.communicate("go\n", timeout=30)
        return proc.returncode, first + rest, err

    def assert_realtime(self, line):
        match = STAMPED.match(line)
        self.assertIsNotNone(match, line)
        self.assertLess(abs(int(match.group(1)) - time.time()), 600)

    def test_without_devices_real_time_and_examined_once(self):
        # The tree that appears after the first marker must not be looked at:
        # had it been, its device (not a clock) would leave the time part empty.
        status, out, err = self.markers(between=lambda: make_tree(FIRST, ["null"]))
        self.assertEqual(0, status, err)
        lines = out.splitlines()
        self.assertEqual(2, len(lines), out)
        self.assert_realtime(lines[0])
        self.assert_realtime(lines[1])
        self.assertTrue(lines[1].endswith(" SECOND_ADAPTIVE_CONT_probe"))

    def test_device_of_first_directory_is_opened(self):
        # /dev/null opens but is no clock: clock_gettime fails, the time part is empty.
        make_tree(FIRST, ["null"])
        status, out, err = self.markers()
        self.assertEqual(0, status, err)
        self.assertEqual(" FIRST_ADAPTIVE_CONT_probe\n SECOND_ADAPTIVE_CONT_probe\n", out)

    def test_second_directory_when_first_is_missing(self):
        make_tree(SECOND, ["null"])
        status, out, _ = self.markers()
        self.assertEqual(0, status)
        self.assertEqual(" FIRST_ADAPTIVE_CONT_probe\n SECOND_ADAPTIVE_CONT_probe\n", out)

    def test_unopenable_entries_are_passed_over(self):
        make_tree(FIRST, ["quillon-test-no-such-node"])
        make_tree(SECOND, ["null"])
        status, out, _ = self.markers()
        self.assertEqual(0, status)
        self.assertEqual(" FIRST_ADAPTIVE_CONT_probe\n SECOND_ADAPTIVE_CONT_probe\n", out)

    def test_no_openable_device_falls_back_to_real_time(self):
        make_tree(FIRST, ["quillon-test-no-such-node"])
        os.makedirs(SECOND)
        status, out, _ = self.markers()
        self.assertEqual(0, status)
        for line in out.splitlines():
            self.assert_realtime(line)

    def test_quiet_writes_no_marker(self):
        make_tree(FIRST, ["null"])
        status, out, _ = self.markers(level="QUIET")
        self.assertEqual(0, status)
        self.assertEqual("", out)

    def test_unlistable_ptp_entry_raises(self):
        os.makedirs(os.path.dirname(FIRST))
        open(FIRST, "w").close()  # "ptp" is a file: listing it fails
        status, out, err = self.markers()
        self.assertEqual(1, status)
        self.assertEqual("", out)
        self.assertIn(FIRST, err)


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    if not private_mount_namespace():
        sys.exit("marker_discovery_test.py must run in a private mount namespace")
    unittest.main()
