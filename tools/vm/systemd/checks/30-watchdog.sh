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
# The new process runs once its start begins; active follows after its
# offers are found.
limit=$((period + 5))
until pid=$(systemctl show -P MainPID tessaly.service) && [ "$pid" != "$old" ] && [ "$pid" != 0 ]; do
  if [ $(($(date +%s) - start)) -gt "$limit" ]; then
    systemctl --no-pager status tessaly.service
    fail "not restarted within $limit s"
  fi
  sleep 0.2
done
echo "restarted as $pid after $(($(date +%s) - start)) s"
i=0
until [ "$(systemctl is-active tessaly.service)" = active ]; do
  i=$((i + 1))
  [ $i -le 150 ] || fail "not active again within 30 s of the restart"
  sleep 0.2
done
echo "active again after $(($(date +%s) - start)) s"
expect_eq "$(systemctl show -P NRestarts tessaly.service)" $((restarts + 1)) "restart count"
journalctl --no-pager -o short-monotonic -u tessaly.service | grep -E "Watchdog timeout|Killing|Main process exited|Scheduled restart" |
  tail -n 4
journalctl --no-pager -u tessaly.service | grep -q "Watchdog timeout" || fail "no watchdog timeout in the journal"
