#!/usr/bin/env bash
# The main job: sets up the machine, builds both programs and runs the live
# demonstrations: tessaly in private namespaces (scripts/demo.sh), then
# quillon in the qemu guest of the test harness (scripts/demo-quillon.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
scripts/demo.sh build
scripts/demo-quillon.sh build
