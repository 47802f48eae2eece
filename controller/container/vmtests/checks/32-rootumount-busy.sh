#!/bin/sh
# "rootumount" while a container's overlay holds the base root file system
# fails (exit 1, ERROR line) and leaves the base usable; so does a device that
# stays busy (its node stays too); afterwards it works and can be repeated.
. /vm/quillon.sh
on_exit "quillon stop hard -d >/dev/null 2>&1; quillon rootumount /vm/data/base.img >/dev/null 2>&1"
q rootmount /vm/data/base.img
expect_rc 0
q start hard -d
expect_rc 0
awk '$2 == "/run/containers/hard/content/rootfs" { print $3 }' /proc/mounts | grep -qx overlay ||
  fail "no overlay over the base"

q rootumount /vm/data/base.img
expect_rc 1
expect_contains "$out" "base rootfs is still used by the overlay at /run/containers/hard/content/rootfs" \
  "error line"
expect_contains "$err" "Assertion" "assertion text"
is_mounted /run/base-rootfs/rootfs || fail "base unmounted under the overlay"
[ -b /dev/mapper/base-rootfs ] || fail "node of the busy base device unlinked"
expect_eq "$(cat /run/base-rootfs/rootfs/etc/base-only.txt)" "only in the base" "base readable"
expect_eq "$(cat /run/containers/hard/content/rootfs/etc/base-only.txt)" "only in the base" "overlay readable"

q stop hard -d
expect_rc 0

# A device that another process keeps open cannot be removed.
sleep 60 < /dev/mapper/base-rootfs &
holder=$!
q rootumount /vm/data/base.img
expect_rc 1
expect_contains "$out" "destroy dm-device failed: 16" "removal refused"
[ -b /dev/mapper/base-rootfs ] || fail "node of the busy device unlinked"
kill $holder
wait $holder 2>/dev/null

q rootumount /vm/data/base.img
expect_rc 0
q rootumount /vm/data/base.img
expect_rc 0
expect_contains "$out" "dm-device base-rootfs does not exist" "absent device counts as removed"
[ -e /dev/mapper/base-rootfs ] && fail "node left"
echo "busy base refused with exit 1; free base removed, repeatably"
