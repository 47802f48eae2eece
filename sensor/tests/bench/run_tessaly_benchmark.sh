#!/usr/bin/env bash
# Runs the whole-sensor benchmark as root in private network, mount and UTS
# namespaces, so its netfilter rules and host name never reach the host.
# Usage: run_tessaly_benchmark.sh [build dir] [flood seconds] [latency probes]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$root/build}
shift || true
exec unshare -n -m -u --propagation private "$build/sensor/tests/tessaly_benchmark" \
  "$build/sensor/runtime/tessaly" "$root/tools/listener/ids_listener.py" "$@"
