#!/bin/sh
# A start that fails half-way (the kernel refuses a SMACK rule) leaves the
# unit failed and nothing set up.
. /vm/lib.sh
. /vm/leftovers.sh
run_fails systemctl start quillon@broken.service
systemctl --no-pager status quillon@broken.service
expect_eq "$(systemctl is-failed quillon@broken.service)" failed "quillon@broken"
grep "^Broken " /sys/fs/smackfs/load2 && fail "rules of broken left loaded"
runc state broken >/dev/null 2>&1 && fail "runc knows broken"
run_ok systemctl stop quillon-base-rootfs.service
no_leftovers
