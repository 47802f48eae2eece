#!/usr/bin/env python3
"""Boots small guests to show that the harness reports every outcome and
never leaves a guest running: failing, skipped and hung checks, a guest
that hangs past its timeout, and a driver that is killed."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(os.path.dirname(HERE), "vm_run.py")
CACHE = os.environ["VM_CACHE"]


def qemu_processes(marker):
    """Pids of qemu processes whose command line holds marker."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().decode(errors="replace")
        except OSError:
            continue
        if "qemu-system" in cmd and marker in cmd:
            found.append(int(pid))
    return found


def boot_argv(suite, work, *extra):
    return [sys.executable, DRIVER, "boot", "--suite", suite,
            "--checks", os.path.join(HERE, suite), "--cache", CACHE,
            "--work", work] + list(extra)


def result(work, check):
    return subprocess.run([sys.executable, DRIVER, "result", "--work", work,
                           "--check", check], stdout=subprocess.PIPE,
                          text=True, check=False)


class Harness(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vm-selftest-")
        self.addCleanup(self.tmp.cleanup)
        self.work = os.path.join(self.tmp.name, "work")

    def tearDown(self):
        for pid in qemu_processes(self.work):
            os.kill(pid, signal.SIGKILL)
        self.assertEqual(qemu_processes(self.work), [])

    def test_outcomes_of_checks(self):
        proc = subprocess.run(boot_argv("outcomes", self.work,
                                        "--check-timeout", "5",
                                        "--file", "/usr/bin/openssl=/opt/bin/openssl",
                                        "--file", f"{HERE}=/opt/tree",
                                        "--program", "mkfs.ext4"),
                              stdout=subprocess.PIPE, text=True, check=False)
        print(proc.stdout)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(qemu_processes(self.work), [])

        r = result(self.work, "10-pass")
        self.assertEqual(r.returncode, 0)
        self.assertIn("pass output", r.stdout)

        r = result(self.work, "20-fail")
        self.assertEqual(r.returncode, 1)
        self.assertIn("expected failure output", r.stdout)
        self.assertIn("FAIL (exit status 3)", r.stdout)
        self.assertIn("---- guest console ----", r.stdout)
        self.assertIn("==== outcomes/20-fail", r.stdout)

        r = result(self.work, "15-shipped")
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("OpenSSL", r.stdout)

        self.assertEqual(result(self.work, "30-skip").returncode, 77)

        r = result(self.work, "40-hang")
        self.assertEqual(r.returncode, 1)
        self.assertIn("about to hang", r.stdout)
        self.assertIn("FAIL (exit status 137)", r.stdout)

        r = result(self.work, "50-after-hang")
        self.assertEqual(r.returncode, 1)
        self.assertIn("FAIL: failed from lib.sh", r.stdout)
        self.assertIn("cleanup ran", r.stdout)

        self.assertEqual(result(self.work, "60-last").returncode, 0)
        r = result(self.work, "70-missing")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no result for check 70-missing", r.stdout)

    def test_hung_guest_is_killed_at_the_timeout(self):
        start = time.monotonic()
        proc = subprocess.run(boot_argv("hang", self.work, "--timeout", "40"),
                              stdout=subprocess.PIPE, text=True, check=False)
        elapsed = time.monotonic() - start
        self.assertEqual(proc.returncode, 1)
        self.assertIn("did not finish within 40 s", proc.stdout)
        self.assertIn("==== hang/10-hang", proc.stdout)
        self.assertIn("hanging the whole guest", proc.stdout)
        self.assertLess(elapsed, 100)
        self.assertEqual(qemu_processes(self.work), [])
        r = result(self.work, "10-hang")
        self.assertEqual(r.returncode, 1)

    def test_killed_driver_takes_the_guest_along(self):
        driver = subprocess.Popen(boot_argv("hang", self.work),
                                  stdout=subprocess.DEVNULL)
        console = os.path.join(self.work, "console.log")
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                with open(console) as f:
                    if "==== hang/10-hang" in f.read():
                        break
            except FileNotFoundError:
                pass
            time.sleep(0.5)
        else:
            driver.kill()
            driver.wait()
            self.fail("guest never started its check")
        self.assertEqual(len(qemu_processes(self.work)), 1)
        driver.kill()
        driver.wait()
        deadline = time.monotonic() + 10
        while qemu_processes(self.work) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(qemu_processes(self.work), [])


if __name__ == "__main__":
    unittest.main()
