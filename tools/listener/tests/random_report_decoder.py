"""Randomized loop over the listener's decoder: random bytes and mutations of
lists written by the sensor's serializer. MalformedPayload is the decoder's
only rejection; any other exception, or a well-formed list that stops
decoding after a change that leaves it well-formed, is a fault.

Usage: random_report_decoder.py <report samples program> [iterations] [seed]
"""

import json
import os
import random
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from report_decoder import RECORDS, MalformedPayload, decode_list  # noqa: E402


def samples(program):
    out = subprocess.run([program], check=True, capture_output=True, text=True, timeout=60).stdout
    return [(bytes.fromhex(s["hex"]), s["record_type"]) for s in map(json.loads, out.splitlines())]


def set_u32(data, offset, value):
    data[offset:offset + 4] = (value & 0xFFFFFFFF).to_bytes(4, "big")


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        choice = rng.randrange(7)
        if choice == 0 and data:  # flip bits
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
        elif choice == 1 and data:  # cut
            del data[rng.randrange(len(data)):]
        elif choice == 2:  # insert random bytes
            i = rng.randint(0, len(data))
            data[i:i] = rng.randbytes(rng.randint(1, 8))
        elif choice == 3 and data:  # delete a slice
            i = rng.randrange(len(data))
            del data[i:i + rng.randint(1, 8)]
        elif choice == 4 and len(data) >= 8:  # an extreme length field
            i = rng.randrange(0, len(data) - 3)
            set_u32(data, i, rng.choice([0, 1, 0x7FFFFFFF, 0xFFFFFFFF, len(data), len(data) - i]))
        elif choice == 5 and len(data) >= 4:  # make the array length agree again
            set_u32(data, 0, len(data) - 4)
        elif choice == 6 and data:  # duplicate a slice
            i = rng.randrange(len(data))
            data[i:i] = data[i:i + rng.randint(1, 16)]
    return bytes(data)


def concatenate(first, second):
    """Two well-formed lists of one type joined into one list."""
    body = first[4:] + second[4:]
    return len(body).to_bytes(4, "big") + body


def check(data, record_type, failures, seed):
    try:
        records = decode_list(data, record_type)
    except MalformedPayload:
        return None
    except Exception:  # noqa: BLE001 - any other exception is the fault looked for
        failures.append(f"seed {seed}, {record_type}, input {data.hex()}:\n{traceback.format_exc()}")
        return None
    if not isinstance(records, list) or not all(isinstance(r, dict) for r in records):
        failures.append(f"seed {seed}, {record_type}, input {data.hex()}: result {records!r}")
    return records


def main():
    program = sys.argv[1]
    iterations = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else int(time.time())
    print(f"random_report_decoder: {iterations} iterations, seed {seed}")
    rng = random.Random(seed)
    corpus = samples(program)
    types = sorted(RECORDS)
    failures = []
    decoded = rejected = 0

    for known, record_type in corpus:
        if check(known, record_type, failures, seed) is None:
            failures.append(f"serializer sample of {record_type} is rejected: {known.hex()}")

    for _ in range(iterations):
        kind = rng.randrange(4)
        if kind == 0:
            data, record_type = rng.randbytes(rng.randint(0, 64)), rng.choice(types)
        elif kind == 1:
            known, record_type = rng.choice(corpus)
            data = mutate(rng, known)
            if rng.randrange(4) == 0:
                record_type = rng.choice(types)
        elif kind == 2:
            # Well-formed lists joined stay decodable, to the records of both.
            a, type_a = rng.choice(corpus)
            b = rng.choice([s for s in corpus if s[1] == type_a])[0]
            joined = concatenate(a, b)
            got = check(joined, type_a, failures, seed)
            want = check(a, type_a, failures, seed), check(b, type_a, failures, seed)
            if got is None or None in want or got != want[0] + want[1]:
                failures.append(f"seed {seed}: joined lists of {type_a} do not decode to both: {joined.hex()}")
            continue
        else:
            known, record_type = rng.choice(corpus)
            data = concatenate(known, mutate(rng, known))
        if check(data, record_type, failures, seed) is None:
            rejected += 1
        else:
            decoded += 1
        if len(failures) >= 5:
            break

    print(f"random_report_decoder: {decoded} decoded, {rejected} rejected, {len(failures)} faults")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
