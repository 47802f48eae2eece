#!/bin/sh
# quillon@demo starts a signed container over the base root file system and
# stops it leaving nothing behind.
. /vm/lib.sh
. /vm/leftovers.sh
grep -q smackfs /proc/mounts || run_ok mount -t smackfs smackfs /sys/fs/smackfs
sed -i 's|^BASE_ROOTFS_IMAGE=.*|BASE_ROOTFS_IMAGE=/vm/data/base.img|' /etc/default/quillon
run_ok systemctl start quillon@demo.service
systemctl --no-pager status quillon-base-rootfs.service quillon@demo.service
expect_eq "$(systemctl is-active quillon-base-rootfs.service)" active "base unit"
expect_eq "$(runc state demo | sed -n 's/.*"status": "\(.*\)".*/\1/p')" running "runc state demo"
grep -q " /run/base-rootfs/rootfs " /proc/mounts || fail "base root file system not mounted"
grep -q "^Demo Ctl rwx" /sys/fs/smackfs/load2 || fail "rules of demo not loaded"
run_ok systemctl stop quillon@demo.service
expect_eq "$(systemctl is-active quillon@demo.service)" inactive "quillon@demo"
runc state demo >/dev/null 2>&1 && fail "runc still knows demo"
grep -q "^Demo " /sys/fs/smackfs/load2 && fail "rules of demo still loaded"
grep " /run/containers/demo" /proc/mounts && fail "demo's mounts left"
run_ok systemctl stop quillon-base-rootfs.service
no_leftovers
