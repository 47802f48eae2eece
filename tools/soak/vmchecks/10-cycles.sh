#!/bin/sh
# quillon over many cycles in one guest: "rootmount", "start -d", "stop -d",
# "rootumount". After every ten cycles it prints the loop devices,
# device-mapper devices and mounts left behind (there must be none) and the
# guest's free memory.
. /vm/quillon.sh
cycles=$(cat /vm/data/soak-cycles 2>/dev/null || echo 20)
mkdir -p /srv/share
on_exit "quillon stop box -d --umount /srv/share >/dev/null 2>&1; quillon rootumount /vm/data/base.img >/dev/null 2>&1"
mounts_before=$(wc -l < /proc/mounts)

# Global state that quillon may hold: bound loop devices (loop_files),
# device-mapper devices (dm_names), mounts beyond those the guest started with.
extra_mounts() {
  tail -n +$((mounts_before + 1)) /proc/mounts
}

run_cycle() {
  LOGLEVEL=ERROR q rootmount /vm/data/base.img
  expect_rc 0
  LOGLEVEL=ERROR q start box -d --bind-mount share /srv/share
  expect_rc 0
  runc state box 2>/dev/null | grep -q '"status": "running"' || fail "cycle $1: box not running"
  LOGLEVEL=ERROR q stop box -d --umount /srv/share
  expect_rc 0
  LOGLEVEL=ERROR q rootumount /vm/data/base.img
  expect_rc 0
}

i=1
while [ "$i" -le "$cycles" ]; do
  run_cycle "$i" >/tmp/soak-cycle.log 2>&1 || { cat /tmp/soak-cycle.log; fail "cycle $i failed"; }
  if [ $((i % 10)) -eq 0 ] || [ "$i" -eq "$cycles" ]; then
    loops=$(loop_files)
    dms=$(dm_names)
    mounts=$(extra_mounts)
    free=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
    echo "soak: cycle $i: loop devices: $(echo "$loops" | grep -c .), dm devices: $(echo "$dms" | grep -c .)," \
         "extra mounts: $(echo "$mounts" | grep -c .), MemAvailable ${free} kB, open files $(cut -f1 /proc/sys/fs/file-nr)"
    [ -z "$loops$dms$mounts" ] || fail "left behind after cycle $i: loops [$(echo $loops)] dm [$(echo $dms)] mounts [$(echo "$mounts" | awk '{ print $2 }' | tr '\n' ' ')]"
  fi
  i=$((i + 1))
done
echo "soak: $cycles cycles, nothing left behind"
