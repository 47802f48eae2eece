#!/bin/sh
# One byte flipped in the data area: reading the file that holds it fails
# with EIO, other files of the image still read.
. /vm/lib.sh
cp /vm/data/test.img /tmp/flipped.img
on_exit "rm -f /tmp/flipped.img"
off=$(cat /vm/data/flip-offset)
old=$(dd if=/tmp/flipped.img bs=1 skip="$off" count=1 2>/dev/null | od -An -tu1 | tr -d ' ')
new=$(( old ^ 255 ))
printf "$(printf '\\%03o' "$new")" |
  dd of=/tmp/flipped.img bs=1 seek="$off" count=1 conv=notrunc 2>/dev/null
now=$(dd if=/tmp/flipped.img bs=1 skip="$off" count=1 2>/dev/null | od -An -tu1 | tr -d ' ')
expect_eq "$now" "$new" "flipped byte at $off"

verity_open /tmp/flipped.img vmcheck-eio
mount_ro /dev/mapper/vmcheck-eio /mnt/eio
expect_eq "$(cat /mnt/eio/etc/hello.txt)" "hello from the image" "hello.txt"
if err=$(cat /mnt/eio/bin/blob 2>&1 >/dev/null); then
  fail "reading the corrupted file succeeded"
fi
echo "read error: $err"
case "$err" in
  *"Input/output error"*) ;;
  *) fail "expected an I/O error, got: $err" ;;
esac
dmesg | grep -q "verity.*data block" || echo "note: no verity message in dmesg"
echo "corruption detected with EIO"
