#!/usr/bin/env python3
"""Runs log_probe under every LOGLEVEL value and checks which lines appear and
how their prefixes look. Usage: log_levels_test.py <log_probe>"""
import os
import re
import select
import subprocess
import sys
import unittest

PROBE = None

TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
WORDS = {0: "DEBUG", 1: "INFO ", 2: "WARN ", 3: "ERROR"}
TEXTS = {0: "debug line 0", 1: "info line 1", 2: "warn line 2", 3: "error line 3"}
MARKER = re.compile(r"^\d+\.\d{9} PROBE_ADAPTIVE_CONT_probe$")


def environment(level):
    env = dict(os.environ)
    env.pop("LOGLEVEL", None)
    if level is not None:
        env["LOGLEVEL"] = level
    return env


def read_lines(proc, count, timeout=20.0):
    """Reads count lines while the probe is still alive and waiting: they can
    only arrive if every line was flushed when it was complete."""
    data = b""
    fd = proc.stdout.fileno()
    while data.count(b"\n") < count:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            break
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        data += chunk
    return data.decode()


class Log_levels(unittest.TestCase):
    def run_lines(self, level, expected_count):
        proc = subprocess.Popen([PROBE, "lines"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=environment(level))
        try:
            early = read_lines(proc, expected_count)
        finally:
            _, err = proc.communicate(b"go\n", timeout=30)
        self.assertEqual(0, proc.returncode, err)
        return early

    def check(self, level, threshold):
        visible = [lvl for lvl in range(4) if lvl >= threshold]
        marker = threshold != 4
        out = self.run_lines(level, len(visible) + int(marker))
        lines = out.splitlines()
        self.assertEqual(len(visible) + int(marker), len(lines), out)
        for lvl, line in zip(visible, lines):
            if threshold == 0 or lvl == 3:
                pattern = r"%s \(%s log_probe\.cpp:\d+\) %s" % (WORDS[lvl], TIME, TEXTS[lvl])
            else:
                pattern = r"%s \(%s\) %s" % (WORDS[lvl], TIME, TEXTS[lvl])
            self.assertRegex(line, "^" + pattern + "$")
        if marker:
            self.assertRegex(lines[-1], MARKER)
        self.assertTrue(out == "" or out.endswith("\n"))

    def test_unset_writes_errors_and_markers(self):
        self.check(None, 3)

    def test_debug_writes_everything_with_source_position(self):
        self.check("DEBUG", 0)

    def test_info(self):
        self.check("INFO", 1)

    def test_warning(self):
        self.check("WARNING", 2)

    def test_warn_is_not_a_level_word(self):
        self.check("WARN", 3)

    def test_lower_case_is_not_accepted(self):
        self.check("debug", 3)

    def test_quiet_writes_nothing(self):
        self.check("QUIET", 4)

    def test_failed_check(self):
        for level, logged in ((None, True), ("DEBUG", True), ("QUIET", False)):
            proc = subprocess.run([PROBE, "check"], capture_output=True, text=True,
                                  env=environment(level), timeout=30)
            self.assertEqual(1, proc.returncode)
            match = re.fullmatch(r"Assertion `answer == 42` failed at log_probe\.cpp:(\d+)\n",
                                 proc.stderr)
            self.assertIsNotNone(match, proc.stderr)
            if logged:
                self.assertRegex(proc.stdout, r"^ERROR \(%s log_probe\.cpp:%s\) check message 41\n$"
                                 % (TIME, match.group(1)))
            else:
                self.assertEqual("", proc.stdout)


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main()
