#!/bin/sh
# quillon's verified images and containers on the arm64 kernel: base root
# file system and a container image through dm-verity and squashfs, the
# overlay, the ext4 data partition and runc; the same check as on x86-64.
exec /vm/shared/container-lifecycle.sh
