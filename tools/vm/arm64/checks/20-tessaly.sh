#!/bin/sh
# tessaly end to end on the arm64 kernel: the logging rules send packets to
# NFLOG groups 101 and 102, a new connection makes a conntrack event, and the
# reports and the flow sample come back over SOME/IP to a client in the guest.
. /vm/lib.sh
echo qemu-arm64 > /proc/sys/kernel/hostname
run_ok nft -f /vm/data/logging_rules.nft
# Only after the rules, which load conntrack.
run_ok sysctl -q -w net.netfilter.nf_conntrack_acct=1 net.netfilter.nf_conntrack_timestamp=1
cat > /tmp/tessaly.json <<'JSON'
{"IDS_config": {"aracom_InstanceId_idsethernetsensor": "1", "IDSEthernetSensor_limit": 100,
                "aracom_InstanceId_idsipsecuritysensor": "1", "IDSIpSecuritySensor_limit": 100}}
JSON
ARA_LOG_LEVEL=debug tessaly /tmp/tessaly.json </dev/null >/tmp/tessaly.log 2>&1 &
sensor=$!
on_exit "kill $sensor 2>/dev/null; wait $sensor 2>/dev/null"
i=0
until grep -q "\[IPTrafficStatistics\]: start" /tmp/tessaly.log; do
  kill -0 "$sensor" 2>/dev/null || { cat /tmp/tessaly.log; fail "tessaly ended at start-up"; }
  i=$((i + 1))
  [ $i -lt 300 ] || { cat /tmp/tessaly.log; fail "tessaly did not come up in 30 s"; }
  sleep 0.1
done
grep -q "SW-ID= 42" /tmp/tessaly.log || { cat /tmp/tessaly.log; fail "no SW-ID 42 for qemu-arm64"; }

if ! report_probe 60; then
  cat /tmp/tessaly.log
  fail "not every report arrived"
fi

kill -TERM "$sensor"
i=0
while kill -0 "$sensor" 2>/dev/null; do
  i=$((i + 1))
  [ $i -lt 200 ] || { cat /tmp/tessaly.log; fail "tessaly did not stop within 20 s of SIGTERM"; }
  sleep 0.1
done
wait "$sensor"
expect_eq "$?" 0 "exit status after SIGTERM"
echo "reports from NFLOG and a flow sample from conntrack read back over SOME/IP"
