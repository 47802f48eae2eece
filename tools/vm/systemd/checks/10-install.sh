#!/bin/sh
# The packages install with dpkg -i, make the sensor's user, enable nothing,
# and their units verify silently; the sensor's unit rates 2.0 or better.
. /vm/lib.sh
run_ok dpkg -i /vm/debs/tessaly_*.deb /vm/debs/quillon_*.deb
run_ok getent passwd tessaly
for unit in tessaly.service quillon-base-rootfs.service; do
  expect_eq "$(systemctl is-enabled $unit)" disabled "$unit after the install"
done
# The guest has no man-db (scripts/test-packages.sh verifies the units with
# their manual pages installed).
for unit in tessaly.service quillon-base-rootfs.service quillon@.service; do
  out=$(systemd-analyze verify --man=no /lib/systemd/system/$unit 2>&1) || fail "verify $unit: $out"
  [ -z "$out" ] || fail "systemd-analyze verify $unit printed: $out"
done
overall=$(systemd-analyze security tessaly.service | tail -n 1)
echo "$overall"
level=$(echo "$overall" | sed -n 's/.*tessaly.service: \([0-9.]*\) .*/\1/p')
[ -n "$level" ] || fail "no overall exposure level"
awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }' || fail "exposure level $level above 2.0"
