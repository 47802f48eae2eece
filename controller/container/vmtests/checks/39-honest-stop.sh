#!/bin/sh
# A stop that cannot unmount everything says so; the base overlay only over
# the mounted base; start -d and stop -d at once never leave a container half
# torn down; names and options refused before anything runs.
. /vm/quillon.sh
mkdir -p /srv/busy
on_exit "kill \$busy 2>/dev/null; umount /srv/busy 2>/dev/null; quillon stop fb -d >/dev/null 2>&1; quillon rootumount /vm/data/base.img >/dev/null 2>&1"

echo "== stop while a bind of the data partition is busy"
q start fb -d
expect_rc 0
mount --bind /run/containers/fb/data /srv/busy || fail "bind"
(cd /srv/busy && exec sleep 600) &
busy=$!
sleep 0.5
q stop fb -d
expect_rc 1
expect_contains "$out" "container files are still mounted at /srv/busy" "leftover named"
expect_contains "$err" "Assertion \`unmounted\`" "assertion"
leftovers fb | grep -q "^runc" && fail "runc container left"
is_mounted /run/containers/fb/content && fail "content left mounted"
[ -e /dev/mapper/fb ] && fail "device left"
kill $busy
wait $busy 2>/dev/null
umount /srv/busy || fail "umount /srv/busy"
q stop fb -d
expect_rc 0
expect_nothing_left fb /srv/busy

echo "== rootmount, rootumount, then start: no overlay on the empty directory"
q rootmount /vm/data/base.img
expect_rc 0
expect_eq "$(stat -c %a /run/base-rootfs)" 700 "base folder mode"
q rootumount /vm/data/base.img
expect_rc 0
[ -d /run/base-rootfs/rootfs ] || fail "the directory is expected to stay"
q start fb -d
expect_rc 0
expect_lacks "$out" "performing overlay mount" "overlay"
is_mounted /run/containers/fb/content/rootfs && fail "overlay mounted"
q rootmount /vm/data/base.img
expect_rc 0
q rootumount /vm/data/base.img
expect_rc 0
q stop fb -d
expect_rc 0
expect_nothing_left fb

echo "== start -d and stop -d at once, repeated"
i=0
while [ $i -lt 4 ]; do
  i=$((i + 1))
  LOGLEVEL=DEBUG quillon start fb -d </dev/null >/tmp/race.start 2>&1 &
  ps=$!
  LOGLEVEL=DEBUG quillon stop fb -d </dev/null >/tmp/race.stop 2>&1 &
  pt=$!
  wait $ps; rs=$?
  wait $pt; rt=$?
  left=$(leftovers fb)
  echo "+ round $i: start -> $rs, stop -> $rt, left: $(echo $left)"
  if [ -n "$left" ]; then
    # Only a whole container may be left: everything or nothing.
    for item in "mount /run/containers/fb/content" "mount /run/containers/fb/data" "dm fb" "runc fb"; do
      echo "$left" | grep -qx "$item" || { cat /tmp/race.start /tmp/race.stop; fail "half torn down: $item missing"; }
    done
    q stop fb -d
    expect_rc 0
  fi
  expect_nothing_left fb
done

echo "== refused before anything runs"
q start base-rootfs -d
[ "$rc" != 0 ] || fail "base-rootfs accepted"
expect_contains "$out$err" "base-rootfs: invalid container name" "name refused"
q stop base-rootfs
[ "$rc" != 0 ] || fail "base-rootfs accepted"
q start fb --umount /srv/busy
[ "$rc" != 0 ] || fail "--umount accepted by start"
expect_contains "$out$err" "unknown option --umount" "option refused"
expect_lacks "$out" "setup container" "nothing ran"
echo "stop reports what stays; base, races and names as intended"
