#!/bin/sh
# A signed image opens with veritysetup from its trailer metadata and mounts
# read-only as squashfs with the right file contents.
. /vm/lib.sh
img=/vm/data/test.img

verity_open "$img" vmcheck-open
[ -b /dev/mapper/vmcheck-open ] || fail "no /dev/mapper/vmcheck-open"
veritysetup status vmcheck-open | grep -q "status:.*verified" ||
  fail "device not verified: $(veritysetup status vmcheck-open)"
mount_ro /dev/mapper/vmcheck-open /mnt/open
(cd /mnt/open && sha256sum -c /vm/data/expected.sha256) ||
  fail "file contents differ"
expect_eq "$(cat /mnt/open/etc/hello.txt)" "hello from the image" "hello.txt"
grep -q " /mnt/open squashfs ro[, ]" /proc/mounts || fail "mount is not read-only squashfs"
run_fails touch /mnt/open/new-file
echo "image opened, mounted and read correctly"
