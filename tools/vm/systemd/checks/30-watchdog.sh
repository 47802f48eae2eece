#!/bin/sh
# A sensor held with SIGSTOP stops its watchdog pings: systemd kills it and
# starts it again within the watchdog period plus a few seconds.
. /vm/lib.sh
expect_eq "$(systemctl is-active tessaly.service)" active "tessaly.service"
# Whole seconds, shown as "5s".
period=$(systemctl show -P WatchdogUSec tessaly.service)
echo "WatchdogUSec=$period"
period=${period%s}
old=$(systemctl show -P MainPID tessaly.service)
restarts=$(systemctl show -P NRestarts tessaly.service)
start=$(date +%s)
run_ok kill -STOP "$old"
limit=$((period + 10))
while :; do
  pid=$(systemctl show -P MainPID tessaly.service)
  if [ "$pid" != "$old" ] && [ "$pid" != 0 ] && [ "$(systemctl is-active tessaly.service)" = active ]; then
    break
  fi
  [ $(($(date +%s) - start)) -le "$limit" ] || fail "not restarted within $limit s"
  sleep 0.2
done
echo "restarted as $pid after $(($(date +%s) - start)) s"
expect_eq "$(systemctl show -P NRestarts tessaly.service)" $((restarts + 1)) "restart count"
journalctl -u tessaly.service --no-pager | grep -i "watchdog timeout" || fail "no watchdog timeout in the journal"
