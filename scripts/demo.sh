#!/usr/bin/env bash
# Live demonstration of tessaly against the real kernel, as root:
#   scripts/demo.sh [build dir | tessaly program] [host name]
# (a program path runs that binary, e.g. the installed /usr/sbin/tessaly)
# Runs the sensor inside private network, mount and UTS namespaces whose host
# name is a partition name, logs traffic to NFLOG groups 101 and 102 with
# netfilter rules, makes some traffic and shows every report and flow sample
# that a subscriber receives, then stops the sensor with SIGTERM. Everything
# lives in the namespaces and disappears with them: nothing is left on the host.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ -f "${1:-}" ]; then
  given=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  tessaly=$given
else
  given=$(cd "${1:-$root/build}" && pwd)
  tessaly=$given/sensor/runtime/tessaly
fi
host=${2:-qemu-arm64}

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: needs root (netfilter rules and namespaces)" >&2
  exit 1
fi
. "$root/scripts/netns.sh"
netns_enter "$given" "$host"

listener=$root/tools/listener/ids_listener.py
[ -x "$tessaly" ] || { echo "demo: $tessaly is missing; build first" >&2; exit 1; }

say() { printf '\n\033[1mdemo: %s\033[0m\n' "$*"; }

# Scratch space private to this mount namespace, or a temporary directory.
scratch=/tmp
netns_private_tmp tessaly-demo "$root" "$given" || scratch=$(mktemp -d /tmp/tessaly-demo.XXXXXX)
netns_partition "$host"

say "host name $(hostname); netfilter rules log to NFLOG groups 101 and 102"
netns_logging_rules "$root"
nft list ruleset | sed 's/^/  /'
echo "  nf_conntrack_acct=$(sysctl -n net.netfilter.nf_conntrack_acct) nf_conntrack_timestamp=$(sysctl -n net.netfilter.nf_conntrack_timestamp)"

cat >"$scratch/tessaly.json" <<'EOF'
{"IDS_config": {"aracom_InstanceId_idsethernetsensor": "1", "IDSEthernetSensor_limit": 100,
                "aracom_InstanceId_idsipsecuritysensor": "1", "IDSIpSecuritySensor_limit": 100}}
EOF

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$scratch" = /tmp ] || rm -rf "$scratch"
}
trap cleanup EXIT

say "starting tessaly $scratch/tessaly.json"
ARA_LOG_LEVEL=${TESSALY_LOG_LEVEL:-info} "$tessaly" "$scratch/tessaly.json" > >(sed -u 's/^/  [tessaly] /') 2>&1 &
sensor=$!
pids+=("$sensor")

for _ in $(seq 50); do
  ss -Hlun 'sport = :30502' | grep -q . && break
  sleep 0.1
done
if ! kill -0 "$sensor" 2>/dev/null; then
  status=0
  wait "$sensor" || status=$?
  echo "demo: tessaly ended at start-up with status $status" >&2
  exit 1
fi

say "finding IDSEthernetSensor and IDSIpSecuritySensor by SOME/IP service discovery, subscribing to every field"
# The listener renews its subscriptions every 2 s and each renewal brings the
# fields' current values again; show only what changed.
python3 "$listener" --discover --config "$scratch/tessaly.json" > >(python3 -u -c '
import sys
last = {}
for line in sys.stdin:
    key = line.split("\"records\"")[0]
    if last.get(key) != line:
        last[key] = line
        print("  [listener] " + line, end="")
') 2>&1 &
pids+=("$!")
sleep 1

python3 - <<'EOF'
import socket, time

def step(text):
    print(f"\n\033[1mdemo: {text}\033[0m", flush=True)

def udp(family, address, port, payload):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.sendto(payload, (address, port))
    time.sleep(0.6)

def tcp(family, address, port, payload=b""):
    with socket.socket(family, socket.SOCK_STREAM) as server:
        server.bind((address, port))
        server.listen()
        with socket.create_connection((address, port)) as client:
            peer, _ = server.accept()
            with peer:
                if payload:
                    client.sendall(payload)
                    peer.recv(len(payload))
    time.sleep(0.6)

step("DoIP vehicle identification request (UDP 13400) -> special frame report, frame type 5")
udp(socket.AF_INET, "127.0.0.1", 13400, bytes.fromhex("02fd0001 00000000"))
step("DHCPv6 solicit over IPv6 (UDP 547) -> special frame report, frame type 1")
udp(socket.AF_INET6, "::1", 547, bytes.fromhex("01 123456 0001000e"))
step("TCP connection set-up (SYN to 13401) -> special frame report, frame type 3 (TCP_CNTL)")
tcp(socket.AF_INET, "127.0.0.1", 13401)
step("SOME/IP service discovery (UDP 30490) -> service discovery report")
udp(socket.AF_INET, "127.0.0.1", 30490, bytes.fromhex("ffff8100 00000014 00000001 01010200"))
step("packet matching a classifier rule (UDP 5555) -> classifier match report")
udp(socket.AF_INET6, "::1", 5555, b"classified")
step("telnet attempt, rejected by the firewall -> firewall filter report")
try:
    socket.create_connection(("127.0.0.1", 23), timeout=1).close()
except OSError as error:
    print(f"  telnet refused: {error}")
time.sleep(0.6)
step("new TCP and UDP connections over IPv4 and IPv6 -> flow samples of the new entries")
tcp(socket.AF_INET, "127.0.0.1", 8080, b"GET / HTTP/1.0\r\n\r\n")
tcp(socket.AF_INET6, "::1", 8443, b"hello over IPv6")
udp(socket.AF_INET, "127.0.0.1", 9999, b"ping")
udp(socket.AF_INET6, "::1", 9999, b"ping6")
EOF

say "closing the demo's connections (conntrack -D) -> flow samples with packet and byte counters"
for port in 8080 8443 13401; do conntrack -D -p tcp --dport "$port" >/dev/null 2>&1 || true; done
for port in 9999 13400 547 5555 30490; do conntrack -D -p udp --dport "$port" >/dev/null 2>&1 || true; done
sleep 1

say "stopping tessaly with SIGTERM"
start=$(date +%s%N)
kill -TERM "$sensor"
status=0
wait "$sensor" || status=$?
echo "  tessaly exited with status $status after $(( ($(date +%s%N) - start) / 1000000 )) ms"
say "done; the namespaces and everything in them go away now"
exit "$status"
