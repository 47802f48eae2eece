#!/bin/sh
# Container images: mounted at the content directory, with the overlay over
# the base root file system only when the base is mounted there.
. /vm/verity.sh
on_exit cleanup_base
on_exit "container_probe remove web 1 >/dev/null 2>&1; container_probe remove duo 1 >/dev/null 2>&1"

CONTENT=/run/containers/web/content
ROOTFS=$CONTENT/rootfs
WEB_IMAGE=/containers/target/web/web.rootfs.squashfs-xz-dmverity

# probe ARGS...: like q, for the container operations.
probe() {
  out=$(container_probe "$@" 2>/tmp/probe.err)
  rc=$?
  err=$(cat /tmp/probe.err)
  echo "+ container_probe $* -> $rc"
  [ -z "$out" ] || echo "$out" | sed 's/^/  stdout: /'
  [ -z "$err" ] || echo "$err" | sed 's/^/  stderr: /'
}

# Without the base directory: no overlay.
rm -rf /run/base-rootfs
probe mount web
expect_eq "$rc" 0 "mount status"
expect_contains "$out" "overlay=0" "no overlay"
expect_eq "$(markers "$out" web)" "STARTING VERIFYSIG VERITYSETUP MOUNT_START MOUNTED_CONTENT " \
  "marker order"
set -- $(mount_line $CONTENT)
expect_eq "$1 $2" "/dev/mapper/web squashfs" "content mount"
expect_contains ",$3," ",ro," "read-only content"
is_mounted $ROOTFS && fail "overlay without base directory"
expect_eq "$(cat $CONTENT/content.txt)" "web content" "content file"
expect_eq "$(cat $ROOTFS/etc/shadowed.txt)" "from the container image" "container file"
[ -e $ROOTFS/etc/base-only.txt ] && fail "base file visible without overlay"
probe remove web 0
expect_contains "$out" "removed=1" "removal"
expect_released web $WEB_IMAGE $CONTENT $ROOTFS

# With the base root file system mounted: the overlay shows both.
q rootmount /vm/data/base.img
expect_eq "$rc" 0 "rootmount status"
probe mount web
expect_eq "$rc" 0 "mount status with base"
expect_contains "$out" "overlay=1" "overlay used"
set -- $(mount_line $ROOTFS)
expect_eq "$2" overlay "overlay type"
expect_contains ",$3," ",ro," "read-only overlay"
expect_contains "$3" "lowerdir=$ROOTFS:$BASE_MNT" "overlay layers"
expect_eq "$(cat $ROOTFS/etc/shadowed.txt)" "from the container image" "container hides base"
expect_eq "$(cat $ROOTFS/etc/base-only.txt)" "only in the base" "base shows through"
expect_eq "$(cat $ROOTFS/etc/own.txt)" "only in the container" "container's own file"
run_fails touch $ROOTFS/etc/new
probe remove web 1
expect_contains "$out" "removed=1" "removal with overlay"
expect_released web $WEB_IMAGE $CONTENT $ROOTFS
is_mounted $BASE_MNT || fail "base mount gone"

# Overlay mount fails (no rootfs directory in the image): the content mount
# is undone and the device removed.
export LOGLEVEL=DEBUG
probe mount flat
unset LOGLEVEL
expect_eq "$rc" 1 "status without rootfs directory"
expect_contains "$out" "base rootfs available, performing overlay mount" "content mounted first"
expect_contains "$err" 'Assertion `mount_success` failed at system.cpp:' "overlay failure"
case "$out" in
  *"destroy dm-device failed"*) fail "the device was still in use when it was removed" ;;
esac
is_mounted /run/containers/flat/content && fail "content of flat left mounted"
dm_exists flat && fail "device flat left behind"
[ -e /dev/mapper/flat ] && fail "node flat left behind"
expect_released flat /containers/target/flat/flat.rootfs.squashfs-xz-dmverity \
  /run/containers/flat/content

q rootumount /vm/data/base.img
expect_released base-rootfs /vm/data/base.img $BASE_MNT

# The base directory exists but nothing is mounted there: no overlay over
# the empty directory.
[ -d $BASE_MNT ] || fail "base directory gone after rootumount"
probe mount web
expect_contains "$out" "overlay=0" "no overlay over an empty directory"
is_mounted $ROOTFS && fail "overlay over the empty base directory"
expect_eq "$(cat $ROOTFS/etc/shadowed.txt)" "from the container image" "container file"
probe remove web 0
expect_released web $WEB_IMAGE $CONTENT $ROOTFS

# Both variants present: lzo is used.
probe image duo
expect_eq "$(echo "$out" | tail -n 1)" /containers/target/duo/duo.rootfs.squashfs-lzo-dmverity \
  "chosen image"
rm -rf /run/base-rootfs
probe mount duo
expect_eq "$(cat /run/containers/duo/content/variant.txt)" lzo "mounted variant"
probe remove duo 0
expect_released duo /containers/target/duo/duo.rootfs.squashfs-lzo-dmverity /run/containers/duo/content

# Only xz present: xz is used (and named when missing).
probe image web
expect_eq "$(echo "$out" | tail -n 1)" /containers/target/web/web.rootfs.squashfs-xz-dmverity \
  "xz image"
echo "container images mount as they should"
