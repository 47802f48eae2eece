#!/bin/sh
# Host side of the soak suite: the container suite's signed images and key,
# and the number of cycles (SOAK_CYCLES, default 20).
set -eu
python3 "$(dirname "$0")/../../controller/container/vmtests/prepare.py" "$1"
mkdir -p "$1/vm/data"
echo "${SOAK_CYCLES:-20}" > "$1/vm/data/soak-cycles"
