#!/usr/bin/env bash
# Runs the NFLOG flood benchmark as root in private network, mount and UTS
# namespaces, so its netfilter rules never reach the host.
# Usage: run_capture_benchmark.sh [build dir] [packets] [datagram bytes]
set -euo pipefail
build=${1:-build}
shift || true
. "$(dirname "$0")/../../../scripts/netns.sh"
netns_exec "$build/sensor/capture/capture_flood_benchmark" "$@"
