#!/bin/sh
# runc runs a detached busybox container in the guest (cgroup2 mounted).
. /vm/lib.sh
grep -q " /sys/fs/cgroup cgroup2 " /proc/mounts || fail "cgroup2 not mounted"
on_exit "runc delete -f vmcheck >/dev/null 2>&1"
runc run --detach --bundle /vm/bundle vmcheck </dev/null >/tmp/runc.log 2>&1 ||
  fail "runc run failed: $(cat /tmp/runc.log)"
state=$(runc state vmcheck) || fail "runc state failed"
echo "$state"
echo "$state" | grep -q '"status": "running"' || fail "container not running"
pid=$(echo "$state" | sed -n 's/.*"pid": \([0-9]*\).*/\1/p')
[ -n "$pid" ] && [ -d "/proc/$pid" ] || fail "no container process"
expect_eq "$(runc exec vmcheck hostname)" "vmcontainer" "hostname inside"
grep -q "^0::/vmcheck" "/proc/$pid/cgroup" ||
  grep -q "^0::/.\+" "/proc/$pid/cgroup" || fail "process not in its own cgroup: $(cat /proc/$pid/cgroup)"
run_ok runc kill vmcheck KILL
i=0
until runc state vmcheck | grep -q '"status": "stopped"'; do
  i=$((i + 1)); [ $i -lt 50 ] || fail "container did not stop"
  sleep 0.2
done
run_ok runc delete vmcheck
runc state vmcheck >/dev/null 2>&1 && fail "container still known to runc"
echo "runc container ran and was removed"
