#!/usr/bin/env bash
# The main job: sets up the machine, builds both programs and runs the tests
# of what exists so far (the sensor's live demonstration replaces this once
# tessaly runs as a whole).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
cd build && ctest --output-on-failure
