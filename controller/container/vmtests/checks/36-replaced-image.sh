#!/bin/sh
# An image replaced by a tampered copy between two starts is refused at the
# second and leaves nothing behind.
. /vm/quillon.sh
image=/containers/target/hard/hard.rootfs.squashfs-xz-dmverity
cp "$image" /tmp/hard-good.img
on_exit "quillon stop hard -d >/dev/null 2>&1; cp /tmp/hard-good.img $image"
q start hard -d
expect_rc 0
q stop hard -d
expect_rc 0
# The copy's data and trailer are another image's, with one signature byte changed.
cp /containers/target/tampered/tampered.rootfs.squashfs-xz-dmverity "$image"
q start hard -d
expect_rc 1
expect_contains "$out" "failed to verify signature: " "signature refused"
expect_nothing_left hard
echo "tampered replacement refused"
