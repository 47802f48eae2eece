#!/bin/sh
# rootmount of a good image, a second rootmount, rootumount twice.
. /vm/verity.sh
on_exit cleanup_base

q rootmount /vm/data/base.img
expect_eq "$rc" 0 "rootmount status"
expect_eq "$(markers "$out" base-rootfs)" "MOUNTING VERIFYSIG VERITYSETUP MOUNT_START MOUNTED_CONTENT " \
  "marker order"
line=$(mount_line $BASE_MNT)
echo "mount: $line"
set -- $line
expect_eq "$1" /dev/mapper/base-rootfs "mount source"
expect_eq "$2" squashfs "file system type"
expect_contains ",$3," ",ro," "read-only mount"
[ -b /dev/mapper/base-rootfs ] || fail "no block node /dev/mapper/base-rootfs"
dm_exists base-rootfs || fail "no device-mapper device base-rootfs"
if command -v blockdev >/dev/null; then
  expect_eq "$(blockdev --getro /dev/mapper/base-rootfs)" 1 "read-only device"
fi
(cd $BASE_MNT && sha256sum -c /vm/data/expected.sha256) || fail "files differ"
run_fails touch $BASE_MNT/etc/new

# The name exists: the second setup stops at the device creation.
q rootmount /vm/data/base.img
expect_eq "$rc" 1 "second rootmount status"
expect_contains "$out" "create dm-device failed: 16" "error line"
expect_contains "$err" 'Assertion `ioctl_ret == 0` failed at verity.cpp:' "assertion"
is_mounted $BASE_MNT || fail "first mount gone"
[ -b /dev/mapper/base-rootfs ] || fail "first node gone"
(cd $BASE_MNT && sha256sum -c /vm/data/expected.sha256 >/dev/null) || fail "files differ after"

q rootumount /vm/data/base.img
expect_eq "$rc" 0 "rootumount status"
expect_released base-rootfs /vm/data/base.img $BASE_MNT
[ -d $BASE_MNT ] || fail "mount point directory removed"

export LOGLEVEL=INFO
q rootumount /vm/data/base.img
unset LOGLEVEL
expect_eq "$rc" 0 "repeated rootumount status"
expect_contains "$out" "dm-device base-rootfs does not exist" "missing device reported"
expect_contains "$out" "mnt_context_find_umount_fs($BASE_MNT)" "umount of nothing logged"
expect_released base-rootfs /vm/data/base.img $BASE_MNT
echo "rootmount and rootumount behave"
