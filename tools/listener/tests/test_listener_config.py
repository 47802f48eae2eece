#!/usr/bin/env python3
"""The listener's --config errors: one line naming the file and what is wrong,
exit status 2, no traceback."""

import os
import subprocess
import sys
import tempfile
import unittest

LISTENER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ids_listener.py")


class ConfigErrors(unittest.TestCase):
    def test_each_bad_config_is_one_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            def write(name, text):
                path = os.path.join(tmp, name)
                with open(path, "w") as f:
                    f.write(text)
                return path

            cases = [
                (os.path.join(tmp, "absent.json"), "No such file or directory"),
                (tmp, "Is a directory"),
                (write("cut.json", '{"IDS_config": {'), "not JSON (Expecting"),
                (write("list.json", "[1, 2]"), 'no "IDS_config" object'),
                (write("number.json", '{"IDS_config": {"aracom_InstanceId_idsethernetsensor": 1,'
                                      ' "aracom_InstanceId_idsipsecuritysensor": "1"}}'),
                 '"IDS_config"."aracom_InstanceId_idsethernetsensor" is not a string'),
                (write("lacking.json", '{"IDS_config": {"aracom_InstanceId_idsethernetsensor": "1"}}'),
                 '"IDS_config"."aracom_InstanceId_idsipsecuritysensor" is not a string'),
            ]
            for path, reason in cases:
                with self.subTest(os.path.basename(path)):
                    r = subprocess.run([sys.executable, LISTENER, "--config", path, "--discover-timeout", "0.1"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    lines = r.stderr.splitlines()
                    self.assertEqual(len(lines), 1, r.stderr)
                    self.assertTrue(lines[0].startswith(f"ids-listener: --config {path}: "), lines[0])
                    self.assertIn(reason, lines[0])
                    self.assertEqual(r.stdout, "")


if __name__ == "__main__":
    unittest.main()
