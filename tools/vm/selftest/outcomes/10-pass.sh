#!/bin/sh
. /vm/lib.sh
echo "pass output"
expect_eq "$VM_SUITE" "outcomes" "suite name"
# Left mounted on purpose: the next checks still run.
mkdir -p /mnt/leftover && mount -t tmpfs tmpfs /mnt/leftover
