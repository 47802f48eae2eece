#!/bin/sh
# systemctl start returns once the sensor has offered its services; it runs
# as user tessaly with CAP_NET_ADMIN its only capability, and a logged packet
# reaches a subscriber.
. /vm/lib.sh
sysctl -q -w net.netfilter.nf_conntrack_acct=1
# One of the sensor's log prefixes; threshold 1 hands each packet over at once.
run_ok iptables-legacy -A OUTPUT -p udp --dport 13400 -j NFLOG --nflog-group 101 \
  --nflog-threshold 1 --nflog-prefix specialFrameReports.match.DoIP
python3 /vm/sd_watch.py 60 >/tmp/sd-start.txt &
watcher=$!
on_exit "kill $watcher 2>/dev/null"
sleep 1
run_ok systemctl start tessaly.service
active_us=$(systemctl show -P ActiveEnterTimestampMonotonic tessaly.service)
expect_eq "$(systemctl is-active tessaly.service)" active "tessaly.service"
systemctl --no-pager status tessaly.service
sleep 1
first=$(awk '$2 == "offer" { print $1; exit }' /tmp/sd-start.txt)
[ -n "$first" ] || { cat /tmp/sd-start.txt; fail "no OfferService on the wire"; }
for service in 0x1001 0x1002; do
  grep -q " offer $service " /tmp/sd-start.txt || fail "no OfferService of $service"
done
echo "first OfferService at $first s, unit active at $active_us us (CLOCK_MONOTONIC)"
awk -v o="$first" -v a="$active_us" 'BEGIN { exit !(o * 1000000 <= a) }' ||
  fail "the unit became active before the first OfferService"

pid=$(systemctl show -P MainPID tessaly.service)
uid=$(id -u tessaly)
grep '^Uid:\|^Gid:\|^Cap' /proc/$pid/status
expect_eq "$(awk '/^Uid:/ { print $2 $3 $4 $5 }' /proc/$pid/status)" "$uid$uid$uid$uid" "user ids"
# CAP_NET_ADMIN is capability 12.
expect_eq "$(awk '/^CapEff:/ { print $2 }' /proc/$pid/status)" 0000000000001000 "effective capabilities"
expect_eq "$(awk '/^CapBnd:/ { print $2 }' /proc/$pid/status)" 0000000000001000 "bounding set"

# A subscriber first gets the current value of each of the five fields, then
# the report of the logged datagram.
tessaly-listener --config /etc/tessaly/tessaly.json --count 6 --duration 30 >/tmp/listener.out 2>&1 &
listener=$!
on_exit "kill $listener 2>/dev/null"
i=0
until [ "$(grep -c '"records"' /tmp/listener.out)" -ge 5 ]; do
  i=$((i + 1))
  [ $i -le 100 ] || { cat /tmp/listener.out; fail "the subscriber got no current values"; }
  sleep 0.2
done
python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.sendto(b"doip", ("127.0.0.1", 13400))'
wait $listener
cat /tmp/listener.out
grep -q '"specialFrameReports", "records": \[{' /tmp/listener.out ||
  fail "the logged DoIP datagram did not reach the subscriber"
