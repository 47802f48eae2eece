#!/usr/bin/env bash
# Runs the whole-sensor benchmark as root in private network, mount and UTS
# namespaces, so its netfilter rules and host name never reach the host.
# Usage: run_tessaly_benchmark.sh [build dir] [flood seconds] [latency probes]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$root/build}
shift || true
. "$root/scripts/netns.sh"
netns_enter "$build" "$@"

netns_partition qemu-arm64
# Scratch files live in this mount namespace only, unless a fresh /tmp would
# hide the checkout that holds the programs.
netns_private_tmp tessaly-bench "$build" "$root" || true
nft -f - <<'NFT'
table inet tessaly_bench {
  chain output {
    type filter hook output priority filter; policy accept;
    ct state new counter
    udp dport 13400 log group 101 queue-threshold 1 prefix "specialFrameReports.match.DoIP"
  }
}
NFT
netns_conntrack_counters
exec "$build/sensor/tests/tessaly_benchmark" "$build/sensor/runtime/tessaly" \
  "$root/tools/listener/ids_listener.py" "$@"
