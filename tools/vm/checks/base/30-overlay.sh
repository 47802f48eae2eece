#!/bin/sh
# The verified mount serves as a lower overlay layer: writable with an upper
# directory, and read-only with two lower layers (image over base image).
. /vm/lib.sh
verity_open /vm/data/test.img vmcheck-top
verity_open /vm/data/base.img vmcheck-base
mount_ro /dev/mapper/vmcheck-top /mnt/top
mount_ro /dev/mapper/vmcheck-base /mnt/base

mkdir -p /tmp/ov/upper /tmp/ov/work /mnt/rw
run_ok mount -t overlay overlay \
  -o lowerdir=/mnt/top,upperdir=/tmp/ov/upper,workdir=/tmp/ov/work /mnt/rw
on_exit "umount /mnt/rw 2>/dev/null"
expect_eq "$(cat /mnt/rw/etc/hello.txt)" "hello from the image" "lower file"
echo changed > /mnt/rw/etc/hello.txt || fail "write through overlay failed"
expect_eq "$(cat /mnt/rw/etc/hello.txt)" "changed" "overlay file"
expect_eq "$(cat /tmp/ov/upper/etc/hello.txt)" "changed" "upper file"
expect_eq "$(cat /mnt/top/etc/hello.txt)" "hello from the image" "lower stays"

mkdir -p /mnt/ro
run_ok mount -t overlay overlay -o ro,lowerdir=/mnt/top:/mnt/base /mnt/ro
on_exit "umount /mnt/ro 2>/dev/null"
expect_eq "$(cat /mnt/ro/etc/shadowed.txt)" "from the container image" "top layer wins"
expect_eq "$(cat /mnt/ro/etc/base-only.txt)" "only in the base" "base shows through"
run_fails touch /mnt/ro/etc/new
echo "overlay layers behave"
