#!/bin/sh
# rootmount, start -d, stop -d and rootumount run by an unlabelled ("_")
# process: the container's rules are in the kernel only while it runs, its
# data partition's root carries the floor label "_", which a process of the
# container labelled App may read but not write (no rule gives App "_" w).
. /vm/smack.sh
mkdir -p /srv/share
on_exit "quillon stop sm -d --umount /srv/share >/dev/null 2>&1; quillon rootumount /vm/data/base.img >/dev/null 2>&1"

q rootmount /vm/data/base.img
expect_rc 0
q start sm -d --bind-mount share /srv/share
expect_rc 0
expect_contains "$out" " SMACK_LOAD_ADAPTIVE_CONT_sm" "load marker"
runc state sm | grep -q '"status": "running"' || fail "sm not running"
rule_loaded "App Ctl rwx" || fail "rule App Ctl not loaded: $(subject_rules App)"
rule_loaded "App Log w" || fail "rule App Log not loaded: $(subject_rules App)"
expect_data_options "data=journal,smackfsroot=_"
expect_eq "$(cat /srv/share/hello.txt)" "shared by sm" "bind mount"
expect_eq "$(cat /run/containers/sm/content/rootfs/etc/base-only.txt)" "only in the base" "overlay"

echo "+ App reads the data partition"
in_sm App 'ls -d /data && ls /data' || fail "App cannot read /data"
echo "+ App writes to the data partition (must be refused)"
res=$(in_sm App 'echo in-container; echo x > /data/app-floor.txt && echo written')
echo "$res"
expect_contains "$res" "in-container" "App's process ran"
expect_contains "$res" "Permission denied" "write refused"
expect_lacks "$res" "written" "write refused"

q stop sm -d --umount /srv/share
expect_rc 0
expect_contains "$out" " SMACK_UNLOAD_ADAPTIVE_CONT_sm" "unload marker"
expect_lacks "$out" "ERROR" "clean stop"
expect_eq "$(subject_rules App)" "" "App rules after stop"
expect_nothing_left sm /srv/share
q rootumount /vm/data/base.img
expect_rc 0
is_mounted /run/base-rootfs/rootfs && fail "base rootfs still mounted"
dms=$(ls /sys/block | grep '^dm-' || true)
[ -z "$dms" ] || fail "device-mapper devices left: $dms"
echo "lifecycle on the SMACK kernel: rules loaded while running, gone after stop"
