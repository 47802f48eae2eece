#!/usr/bin/env bash
# The main job: sets up the machine, builds both programs and runs the live
# demonstration of tessaly in private namespaces (scripts/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
scripts/demo.sh build
