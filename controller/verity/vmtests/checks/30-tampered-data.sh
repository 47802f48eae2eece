#!/bin/sh
# A flipped byte in the data area passes the signature check (the trailer is
# intact) but reading the file that holds it fails.
. /vm/verity.sh
on_exit "quillon rootumount /vm/data/tampered-data.img >/dev/null 2>&1"

q rootmount /vm/data/tampered-data.img
expect_eq "$rc" 0 "rootmount status"
expect_eq "$(cat $BASE_MNT/etc/hello.txt)" "hello from the base image" "intact file"
if error=$(cat $BASE_MNT/bin/blob 2>&1 >/dev/null); then
  fail "reading the corrupted file succeeded"
fi
echo "read error: $error"
expect_contains "$error" "Input/output error" "read error"

q rootumount /vm/data/tampered-data.img
expect_eq "$rc" 0 "rootumount status"
expect_released base-rootfs /vm/data/tampered-data.img $BASE_MNT
echo "corrupted data block detected"
