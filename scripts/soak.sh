#!/usr/bin/env bash
# Soak runs of both programs; fails on growth or on anything left behind.
#   scripts/soak.sh [minutes] [cycles]      (defaults: 30 minutes, 100 cycles)
# 1. tessaly under a steady logged flood with conntrack churn and subscribers
#    that come and go, in private network, mount and UTS namespaces; prints
#    resident memory, open descriptors and drop counts every minute.
# 2. quillon "rootmount", "start -d", "stop -d", "rootumount" for the given
#    cycles in the qemu guest; prints the loop devices, device-mapper devices
#    and mounts left after every ten cycles.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}
cycles=${2:-100}
build=${SOAK_BUILD:-build}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tessaly quillon -j "$(nproc)" >/dev/null

status=0
echo "soak: tessaly for $minutes minute(s)"
unshare -n -m -u --propagation private python3 tools/soak/tessaly_soak.py \
  "$build/sensor/runtime/tessaly" tools/listener/ids_listener.py "$minutes" || status=1

echo "soak: quillon for $cycles cycles in the qemu guest"
# A guest cycle takes a few seconds without KVM; the suite's timeouts allow 100.
(cd "$build" && SOAK_CYCLES=$cycles ctest --output-on-failure -V -L soak | grep -E '^[0-9]+: (soak:|FAIL|.*left behind)|tests passed|tests failed|Failed|Passed') || status=1
exit $status
