#!/usr/bin/env python3
"""Black-box tests of the quillon program: usage, argument errors, exit statuses
and the log threshold from LOGLEVEL. Usage: quillon_cli_test.py <quillon>"""
import os
import re
import subprocess
import sys
import unittest

QUILLON = None
NO_SUCH = "quillon-test-no-such-container"

USAGE_TAIL = """Options:
  -d            start/stop container in detached mode
  --bind-mount  bind mount <from> container directory as <path> to system rootfs
                before starting the container process
                <from> can be absolute or relative to the container content dir
                option can be given multiple times
  --umount      unmount directory at <path> from system rootfs
                before removing the container image
                option can be given multiple times
"""

TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
WORDS = {"DEBUG": 0, "INFO ": 1, "WARN ": 2, "ERROR": 3}


def usage(program):
    return ("Usage:\n"
            "  %s start <container-name> [-d] [--fstype <type>] [--bind-mount <from> <path>]...\n"
            "  %s stop  <container-name> [-d] [--umount <path>]...\n"
            "  %s {rootmount|rootumount} <baseroot-container-name> [--fstype <type>]\n"
            % (program, program, program)) + USAGE_TAIL


def run(args, program=None, level=None):
    env = dict(os.environ)
    env.pop("LOGLEVEL", None)
    if level is not None:
        env["LOGLEVEL"] = level
    argv0 = program if program is not None else QUILLON
    return subprocess.run([argv0] + args, executable=QUILLON, capture_output=True, text=True,
                          env=env, timeout=60)


class Arguments(unittest.TestCase):
    def assert_argument_error(self, args, line):
        result = run(args)
        self.assertEqual(1, result.returncode)
        self.assertEqual(line + "\n", result.stderr)
        self.assertEqual(usage(QUILLON), result.stdout)

    def test_help_alone(self):
        result = run(["-h"])
        self.assertEqual(0, result.returncode)
        self.assertEqual(usage(QUILLON), result.stdout)
        self.assertEqual("", result.stderr)

    def test_usage_shows_argument_zero_as_invoked(self):
        for program in ("quillon", "./relative/ql", "/usr/sbin/quillon with blank"):
            result = run(["-h"], program=program)
            self.assertEqual(usage(program), result.stdout)

    def test_usage_byte_for_byte(self):
        # Line 3 has two blanks after "stop"; the thirteen lines all end with a line feed.
        out = run(["-h"], program="q").stdout
        self.assertEqual(13, out.count("\n"))
        self.assertIn("\n  q stop  <container-name> [-d] [--umount <path>]...\n", out)
        self.assertTrue(out.startswith("Usage:\n  q start <container-name> [-d] [--fstype <type>] "
                                       "[--bind-mount <from> <path>]...\n"))

    def test_help_with_further_arguments_is_a_command_word(self):
        self.assert_argument_error(["-h", "x"], "-h: invalid command")
        self.assert_argument_error(["-h", "start", "web"], "-h: invalid command")

    def test_number_of_arguments(self):
        self.assert_argument_error([], "invalid number of arguments")
        self.assert_argument_error(["start"], "invalid number of arguments")
        self.assert_argument_error(["-d"], "invalid number of arguments")

    def test_invalid_command(self):
        self.assert_argument_error(["begin", "web"], "begin: invalid command")
        self.assert_argument_error(["Start", "web"], "Start: invalid command")

    def test_unknown_and_incomplete_options(self):
        self.assert_argument_error(["start", "web", "--bind-mount", "/a"], "unknown option --bind-mount")
        self.assert_argument_error(["stop", "web", "--umount"], "unknown option --umount")
        # "--umount" belongs to stop; a start refuses it before doing anything.
        self.assert_argument_error(["start", "web", "--umount", "/u"], "unknown option --umount")
        self.assert_argument_error(["stop", "web", "--force"], "unknown option --force")
        self.assert_argument_error(["rootumount", "/img", "-d", "--bind-mount", "a"],
                                   "unknown option --bind-mount")

    def test_invalid_container_names(self):
        # Refused before anything is looked at or created.
        for name in ("", "-d", ":", "a:b", "a,b", "@x", ".hidden", "control", "base-rootfs", "x" * 128, "a/b", "caf\u00e9"):
            for command in ("start", "stop"):
                self.assert_argument_error([command, name], name + ": invalid container name")

    def test_accepted_options_reach_the_command(self):
        # Each of these is accepted by the parser; the command itself then fails
        # because the container does not exist.
        for args in (["start", NO_SUCH, "--fstype"],
                     ["start", NO_SUCH, "-d", "-d", "--fstype", "a", "--fstype", "b"],
                     ["start", NO_SUCH, "--bind-mount", "rel", "/abs"],
                     ["stop", NO_SUCH, "--umount", "/a", "--umount", "/b", "-d", "-d"]):
            result = run(args)
            self.assertEqual(1, result.returncode, args)
            self.assertRegex(result.stderr, r"^Assertion `m_fs->exists\(m_container\.c_str\(\)\)` "
                                            r"failed at container\.cpp:\d+\n$")
            self.assertNotIn("Usage:", result.stdout)


class Log_threshold(unittest.TestCase):
    """A stop of a missing container writes its marker, an INFO line and the
    ERROR line of its failed check, which covers every prefix form."""

    def stop(self, level):
        result = run(["stop", NO_SUCH], level=level)
        self.assertEqual(1, result.returncode)
        self.assertRegex(result.stderr, r"^Assertion `m_fs->exists\(m_container\.c_str\(\)\)` "
                                        r"failed at container\.cpp:\d+\n$")
        return result.stdout

    def check_lines(self, level, threshold):
        out = self.stop(level)
        lines = out.splitlines()
        self.assertTrue(out.endswith("\n"), out)
        self.assertRegex(lines[0], r"^\d+\.\d{9} STOPPING_ADAPTIVE_CONT_%s$" % NO_SUCH)
        for line in lines[1:]:
            word = line[:5]
            self.assertIn(word, WORDS, line)
            self.assertGreaterEqual(WORDS[word], threshold, line)
            if threshold == 0 or word == "ERROR":
                self.assertRegex(line, r"^%s \(%s [a-z_]+\.cpp:\d+\) " % (re.escape(word), TIME))
            else:
                self.assertRegex(line, r"^%s \(%s\) " % (re.escape(word), TIME))
        info = [line for line in lines if line.startswith("INFO ")]
        self.assertEqual(threshold <= 1, any(line.endswith(") shutdown container " + NO_SUCH)
                                             for line in info), out)
        self.assertRegex(lines[-1], r"^ERROR \(%s container\.cpp:\d+\) container does not exist, "
                                    r"no such file: /containers/target/%s/%s\.rootfs\.squashfs-" % (TIME, NO_SUCH, NO_SUCH))
        return lines

    def test_unset(self):
        self.assertEqual(2, len(self.check_lines(None, 3)))

    def test_debug(self):
        lines = self.check_lines("DEBUG", 0)
        self.assertTrue(any(line.startswith("INFO  (") and ".cpp:" in line for line in lines))

    def test_info(self):
        self.check_lines("INFO", 1)

    def test_warning(self):
        self.check_lines("WARNING", 2)

    def test_warn_is_the_default(self):
        self.assertEqual(2, len(self.check_lines("WARN", 3)))

    def test_quiet_writes_nothing_to_standard_output(self):
        self.assertEqual("", self.stop("QUIET"))


if __name__ == "__main__":
    QUILLON = os.path.abspath(sys.argv.pop(1))
    unittest.main()
