#!/usr/bin/env bash
# Compares tessaly with ulogd2 (Debian ulogd2 + ulogd2-json: NFLOG, BASE,
# IFINDEX, IP2STR, JSON on group 101) on the same paced kernel flood: 200-byte
# UDP datagrams at 20,000/s, logged with the default queue threshold and with
# threshold 1. tessaly runs whole, with limit 1,000,000 and one subscriber
# (nflog_flood listen). Prints handled of sent and CPU time per handled packet.
# Then 10,000 UDP connections opened in a burst and flushed (conntrack -F):
# flow samples received of the 20,000 events.
# Usage: run_capture_comparison.sh [build dir] [packets]
# Runs as root in private network, mount and UTS namespaces.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$root/build}
packets=${2:-20000}
. "$root/scripts/netns.sh"
netns_enter "$build" "$packets"

tessaly=$build/sensor/runtime/tessaly
flood=$build/sensor/tests/nflog_flood
plugins=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)/ulogd
work=$(mktemp -d /tmp/capture-comparison.XXXXXX)
trap 'rm -rf "$work"' EXIT
netns_partition qemu-arm64

# CPU time (user + system) of a process and its threads, in clock ticks.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

rules() {
  local threshold=$1
  nft delete table inet comparison 2>/dev/null || true
  nft -f - <<NFT
table inet comparison {
  chain output {
    type filter hook output priority filter; policy accept;
    udp dport 13400 log group 101 $threshold prefix "specialFrameReports.match.DoIP"
  }
}
NFT
}

report() {
  local name=$1 handled=$2 sent=$3 cpu_ticks=$4
  awk -v n="$name" -v h="$handled" -v s="$sent" -v t="$cpu_ticks" -v hz="$hz" 'BEGIN {
    us = h > 0 ? t * 1e6 / hz / h : 0
    printf "%-34s handled %6d of %6d (%6.2f %%), CPU %6.2f us per handled packet\n", n, h, s, 100 * h / s, us }'
}

run_ulogd() {
  local label=$1
  cat > "$work/ulogd.conf" <<CONF
[global]
logfile="$work/ulogd.log"
loglevel=5
plugin="$plugins/ulogd_inppkt_NFLOG.so"
plugin="$plugins/ulogd_raw2packet_BASE.so"
plugin="$plugins/ulogd_filter_IFINDEX.so"
plugin="$plugins/ulogd_filter_IP2STR.so"
plugin="$plugins/ulogd_output_JSON.so"
stack=log1:NFLOG,base1:BASE,ifi1:IFINDEX,ip2str1:IP2STR,json1:JSON
[log1]
group=101
[json1]
file="$work/ulogd.json"
sync=1
CONF
  rm -f "$work/ulogd.json"
  /usr/sbin/ulogd -c "$work/ulogd.conf" &
  local pid=$!
  sleep 1
  local before; before=$(ticks $pid)
  local sent; sent=$("$flood" send 20000 "$packets" | awk '{print $2}')
  sleep 2
  local used=$(( $(ticks $pid) - before ))
  kill $pid; wait $pid 2>/dev/null || true
  report "ulogd2, $label" "$(wc -l < "$work/ulogd.json")" "$sent" "$used"
}

cat > "$work/config.json" <<JSON
{"IDS_config": {"aracom_InstanceId_idsethernetsensor": "1", "IDSEthernetSensor_limit": 1000000,
 "aracom_InstanceId_idsipsecuritysensor": "2", "IDSIpSecuritySensor_limit": 1000000}}
JSON

# Starts tessaly (its pid in $pid) and a subscribed listener that reports
# after the given quiet milliseconds (coprocess LISTENER).
start_tessaly_and_listener() {
  local quiet_ms=$1
  ARA_LOG_LEVEL=info "$tessaly" "$work/config.json" > "$work/tessaly.log" 2>&1 &
  pid=$!
  sleep 1
  coproc LISTENER { "$flood" listen "$quiet_ms" 120000; }
  read -r ready <&"${LISTENER[0]}"
  sleep 0.5
}

run_tessaly() {
  local label=$1
  start_tessaly_and_listener 2000
  local before; before=$(ticks $pid)
  local sent; sent=$("$flood" send 20000 "$packets" | awk '{print $2}')
  local counts; read -r counts <&"${LISTENER[0]}"
  local used=$(( $(ticks $pid) - before ))
  kill -TERM $pid; wait $pid 2>/dev/null || true
  local handled; handled=$(echo "$counts" | sed 's/.*"special": \([0-9]*\).*/\1/')
  report "tessaly, $label" "$handled" "$sent" "$used"
}

run_conntrack() {
  start_tessaly_and_listener 3000
  local opened; opened=$("$flood" flows 10000 | awk '{print $2}')
  sleep 0.5
  conntrack -F >/dev/null 2>&1 || true
  local counts; read -r counts <&"${LISTENER[0]}"
  kill -TERM $pid; wait $pid 2>/dev/null || true
  local samples; samples=$(echo "$counts" | sed 's/.*"flows": \([0-9]*\).*/\1/')
  awk -v o="$opened" -v s="$samples" 'BEGIN {
    printf "conntrack burst: %d connections, %d flow samples of %d events (%.2f %%)\n", o, s, 2 * o, 50 * s / o }'
}

for threshold in "" "queue-threshold 1"; do
  label=${threshold:-default queue threshold}
  rules "$threshold"
  run_ulogd "$label"
  run_tessaly "$label"
done

# Connection tracking needs a rule that makes the kernel track this namespace.
rules ""
nft add rule inet comparison output ct state new counter
run_conntrack
