"""The listener's decoder against lists written by the sensor's serializer,
and against malformed payloads.

Usage: test_report_decoder.py <report samples program>
"""

import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import report_decoder  # noqa: E402
from report_decoder import MalformedPayload, decode_list  # noqa: E402

SAMPLES_PROGRAM = None

WORKED_EXAMPLE = bytes.fromhex(
    "00000033 0000002f 7000 00000008 7d0c36c4fce445fc 1000 0109 3000 0000000000000102"
    " 7000 00000003 010203 2000 00000001 1000 0000".replace(" ", ""))


class SerializerRoundTrip(unittest.TestCase):
    def test_every_sample_decodes_to_its_records(self):
        out = subprocess.run([SAMPLES_PROGRAM], check=True, capture_output=True, text=True).stdout
        samples = [json.loads(line) for line in out.splitlines()]
        self.assertGreaterEqual(len(samples), 11)
        types = set()
        for sample in samples:
            with self.subTest(record_type=sample["record_type"], label=sample["label"]):
                records = decode_list(bytes.fromhex(sample["hex"]), sample["record_type"])
                self.assertEqual(records, sample["expected"])
                types.add(sample["record_type"])
        self.assertEqual(types, set(report_decoder.RECORDS))


class WireRules(unittest.TestCase):
    def test_worked_example(self):
        self.assertEqual(decode_list(WORKED_EXAMPLE, "DT_specialFrameReports_struct"), [{
            "reportTypeId": "7d0c36c4fce445fc", "swId": 265, "timestamp": 258, "payload": "010203",
            "frameType": 1, "truncatedLength": 0}])

    def test_empty_list_and_empty_record(self):
        self.assertEqual(decode_list(bytes(4), "DT_trafficFlowSamples_struct"), [])
        self.assertEqual(decode_list(bytes.fromhex("0000000400000000"), "DT_firewallFilterReports_struct"), [{}])

    def test_malformed_payloads_are_rejected_with_a_reason(self):
        cases = {
            "short": (bytes(3), "array length"),
            "array length too long": (bytes.fromhex("00000005 00000000"), "disagrees"),
            "trailing byte": (WORKED_EXAMPLE + b"\x00", "disagrees"),
            "struct overruns": (bytes.fromhex("00000004 00000001"), "claims"),
            "tag cut": (bytes.fromhex("00000005 00000001 10"), "cut off"),
            "value cut": (bytes.fromhex("00000007 00000003 100001"), "needs 2 bytes"),
            "wire type 4": (bytes.fromhex("00000006 00000002 4000"), "wire type 4"),
            "reserved bit": (bytes.fromhex("00000008 00000004 90000001"), "reserved bit"),
            "data id": (bytes.fromhex("00000008 00000004 10050001"), "data ID 5"),
        }
        for name, (data, reason) in cases.items():
            with self.subTest(case=name):
                with self.assertRaises(MalformedPayload) as ctx:
                    decode_list(data, "DT_specialFrameReports_struct")
                self.assertIn(reason, str(ctx.exception))

    def test_members_that_fit_no_reading_are_rejected(self):
        # two uint64 members, but a special frame report has only one
        data = bytes.fromhex("00000018 00000014 3000 0000000000000001 3000 0000000000000002")
        with self.assertRaisesRegex(MalformedPayload, "do not fit"):
            decode_list(data, "DT_specialFrameReports_struct")
        # an 8-byte array member of the wrong size
        data = bytes.fromhex(("0000002f 0000002b 7000 00000007 7d0c36c4fce445 1000 0109 3000 0000000000000102"
                              " 7000 00000000 2000 00000001 1000 0000").replace(" ", ""))
        with self.assertRaisesRegex(MalformedPayload, "instead of 8"):
            decode_list(data, "DT_specialFrameReports_struct")
        # a log prefix that is not UTF-8
        data = bytes.fromhex("0000001f 0000001b 7000 00000008 4e83494f6bbd4b56 7000 00000001 ff 7000 00000000".replace(" ", ""))
        with self.assertRaisesRegex(MalformedPayload, "UTF-8"):
            decode_list(data, "DT_classifierMatchReports_struct")

    def test_unresolvable_reading_is_rejected_rather_than_guessed(self):
        # one uint16 after the head of a service discovery report could be
        # reserved4, reserved5 or truncatedLength; the sensor never fills the
        # reserved members, so it is truncatedLength
        head = "7000 00000008 00adfc5d1d4f4578 1000 002a 3000 0000000000000001"
        data = bytes.fromhex(("00000024 00000020" + head + "1000 0009").replace(" ", ""))
        self.assertEqual(decode_list(data, "DT_serviceDiscoveryReports_struct"), [{
            "reportTypeId": "00adfc5d1d4f4578", "swId": 42, "timestamp": 1, "truncatedLength": 9}])
        # two of them have no reading without a reserved member, and several with
        data = bytes.fromhex(("00000028 00000024" + head + "1000 0009 1000 000a").replace(" ", ""))
        with self.assertRaisesRegex(MalformedPayload, "cannot be told apart"):
            decode_list(data, "DT_serviceDiscoveryReports_struct")


class InstanceIds(unittest.TestCase):
    def test_same_mapping_as_the_sensor_binding(self):
        import ids_listener
        cases = {"42": 42, "0x1f": 0x1F, "0xFFFF": 0xFFFF, "000000001": 1, "65535": 65535,
                 # not 16-bit numbers: folded FNV-1a of the bytes
                 "abc": 62284, "65536": 44088, "": 7385, "0XFFFF": 54580, "4294967297": 20782}
        for text, expected in cases.items():
            with self.subTest(text=text):
                self.assertEqual(ids_listener.instance_id(text), expected)


if __name__ == "__main__":
    SAMPLES_PROGRAM = sys.argv.pop(1)
    unittest.main()
