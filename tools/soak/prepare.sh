#!/bin/sh
# Host side of the soak suite: the signed images and key of the quillon suites,
# and the number of cycles (SOAK_CYCLES, default 20).
set -eu
python3 "$(dirname "$0")/../vm/quillon/prepare.py" "$1"
mkdir -p "$1/vm/data"
echo "${SOAK_CYCLES:-20}" > "$1/vm/data/soak-cycles"
