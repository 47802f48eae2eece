#!/bin/sh
# A busybox container from a signed image, over the base root file system,
# run by Debian's runc: start -d, stop -d, a second start that reuses the data
# partition, then nothing left behind.
. /vm/quillon.sh
mkdir -p /srv/share
on_exit "quillon stop box -d --umount /srv/share >/dev/null 2>&1; quillon rootumount /vm/data/base.img >/dev/null 2>&1"
rm -f /run/container-scripts.log /run/fake-smackload/calls

q rootmount /vm/data/base.img
expect_rc 0

q start box -d --bind-mount share /srv/share
expect_rc 0
expect_contains "$out" "format data partition image" "new partition formatted"
expect_contains "$out" "setting ext4 ownership options to: -Eroot_owner=1000:100" "owner option"
for marker in STARTING MOUNT_START MOUNTED_CONTENT MOUNTED_DATA SMACK_LOAD STARTRUNC; do
  expect_contains "$out" " ${marker}_ADAPTIVE_CONT_box" "marker $marker"
done
state=$(runc state box) || fail "runc does not know box"
echo "$state" | grep -q '"status": "running"' || fail "box not running: $state"

expect_eq "$(stat -c %s /data/containerdata/box)" 67108864 "data partition size"
[ -e /data/containerdata/box.tmp ] && fail "temporary partition image left"
data=$(awk '$2 == "/run/containers/box/data" { print $3, $4 }' /proc/mounts)
echo "data partition: $data"
case "$data" in ext4\ *) ;; *) fail "data partition is not ext4: $data" ;; esac
for option in nosuid nodev noexec noatime data=journal; do
  expect_contains "$data" "$option" "data mount option"
done
expect_lacks "$data" "smackfsroot" "no SMACK on this kernel"
expect_eq "$(stat -c %u:%g /run/containers/box/data)" "1000:100" "data partition owner"
is_mounted /run/containers/box/content || fail "image not mounted"
awk '$2 == "/run/containers/box/content/rootfs" { print $3 }' /proc/mounts | grep -qx overlay ||
  fail "no overlay on the rootfs directory"
expect_eq "$(cat /run/containers/box/content/rootfs/etc/base-only.txt)" "only in the base" "base through overlay"
[ -b /dev/mapper/box ] || fail "no device /dev/mapper/box"
expect_eq "$(cat /srv/share/hello.txt)" "shared by box" "bind mount"
grep -qx "pre-start box in /containers/target/box" /run/container-scripts.log || fail "pre-start did not run"
expect_eq "$(head -n 1 /run/fake-smackload/calls)" "/run/containers/box/content/smack-rules" "rules loaded"
pid=$(echo "$state" | sed -n 's/.*"pid": \([0-9]*\).*/\1/p')
expect_eq "$(awk '/^Uid:/ { print $2 }' /proc/$pid/status)" 1000 "container process user"

q stop box -d --umount /srv/share
expect_rc 0
expect_contains "$out" "container shutdown finished" "stop finished"
expect_lacks "$out" "ERROR" "clean stop"
[ -d "/proc/$pid" ] && fail "container process $pid still there"
expect_nothing_left box /srv/share
grep -qx "post-stop box in /containers/target/box" /run/container-scripts.log || fail "post-stop did not run"
expect_eq "$(tail -n 1 /run/fake-smackload/calls)" "-c /run/containers/box/content/smack-rules" "rules unloaded"

# The partition persists and is used again without formatting.
q start box -d --bind-mount share /srv/share
expect_rc 0
expect_contains "$out" "container data partition image exists: /data/containerdata/box" "partition reused"
expect_lacks "$out" "format data partition image" "no second format"
runc state box | grep -q '"status": "running"' || fail "box not running after the second start"
expect_eq "$(stat -c %u:%g /run/containers/box/data)" "1000:100" "data partition owner kept"

q stop box -d --umount /srv/share
expect_rc 0
expect_nothing_left box /srv/share

q rootumount /vm/data/base.img
expect_rc 0
is_mounted /run/base-rootfs/rootfs && fail "base rootfs still mounted"
dms=$(dm_names)
[ -z "$dms" ] || fail "device-mapper devices left: $(echo $dms)"
loops=$(loop_files)
[ -z "$loops" ] || fail "loop devices left: $(echo $loops)"
[ -z "$(runc list -q)" ] || fail "runc still knows: $(runc list -q)"
echo "container started, stopped, restarted with its data partition and removed"
