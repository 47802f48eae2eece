#!/bin/sh
# Files, folders and programs given to the driver arrive with their libraries.
. /vm/lib.sh
run_ok /opt/bin/openssl version
run_ok /usr/sbin/mkfs.ext4 -V
expect_eq "$(cat /opt/tree/outcomes/60-last.sh | tail -n 1)" 'echo "last check ran"' "shipped folder"
