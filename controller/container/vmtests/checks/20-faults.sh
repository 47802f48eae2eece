#!/bin/sh
# Each step of a start fails in turn; afterwards nothing of the container is
# left, and "stop" finishes cleanly.
. /vm/quillon.sh
mkdir -p /srv/fb1 /srv/fb2 /data/containerdata /vm/norunc
ln -sf "$(command -v mkfs.ext4)" /vm/norunc/mkfs.ext4
on_exit "umount /data/containerdata 2>/dev/null; umount /srv/fb2 2>/dev/null; rm -f /run/fake-smackload/load.exit"
binds="--bind-mount share /srv/fb1 --bind-mount two /srv/fb2"

# after_fault NAME EXPECTED: the start failed with EXPECTED in its output,
# nothing is left, and stop succeeds and leaves nothing either.
after_fault() {
  expect_rc 1
  expect_contains "$out$err" "$2" "failure message"
  expect_nothing_left "$1" /srv/fb1 /srv/fb2
  [ -e "/data/containerdata/.$1.tmp" ] && fail "temporary partition image left"
  q stop "$1" -d --umount /srv/fb1 --umount /srv/fb2
  expect_rc 0
  expect_nothing_left "$1" /srv/fb1 /srv/fb2
}

echo "== image: signature does not match"
q start tampered -d
after_fault tampered "Assertion"

echo "== image: mount of the verified device fails"
q start fb -d --fstype ext4 $binds
after_fault fb "mount failed: "

echo "== data partition: image cannot be created"
mount --bind /data/containerdata /data/containerdata &&
  mount -o remount,bind,ro /data/containerdata || fail "read-only bind failed"
q start fb -d $binds
umount /data/containerdata
after_fault fb "open data image failed: 30"

echo "== data partition: format fails"
QPATH=/vm/failbin:$PATH
q start fb -d $binds
unset QPATH
after_fault fb "Assertion \`mkfs_ret == 0\`"
[ -e /data/containerdata/fb ] && fail "partition image after a failed format"

echo "== data partition: mount fails"
head -c 4194304 /dev/zero > /data/containerdata/fb
q start fb -d $binds
after_fault fb "mount failed: "
rm -f /data/containerdata/fb

echo "== SMACK rules: loader fails"
mkdir -p /run/fake-smackload
echo 1 > /run/fake-smackload/load.exit
: > /run/fake-smackload/calls
q start fb -d $binds
rm -f /run/fake-smackload/load.exit
# The loader may have taken the lines before the one it refused.
grep -qx -- "-c /run/containers/fb/content/smack-rules" /run/fake-smackload/calls ||
  fail "rules not unloaded after the refused load"
after_fault fb "loading smack rules failed: "

echo "== first bind mount: target missing"
rmdir /srv/fb1
: > /run/fake-smackload/calls
q start fb -d $binds
mkdir -p /srv/fb1
grep -qx -- "-c /run/containers/fb/content/smack-rules" /run/fake-smackload/calls || fail "rules not unloaded"
after_fault fb "bind mount target /srv/fb1 refused: 2"

echo "== second bind mount: target already a mount point"
mount -t tmpfs taken /srv/fb2 || fail "tmpfs"
q start fb -d $binds
umount /srv/fb2
expect_contains "$out" "umount /srv/fb1" "first bind mount undone"
after_fault fb "target path is already mounted"

echo "== hand-over: no runc to become"
QPATH=/vm/norunc
q start fb $binds
unset QPATH
expect_contains "$out" "execute runc failed: 2" "exec failure"
after_fault fb "Assertion \`m_sys->execvp(runc_run_argv[0], runc_run_argv) > 0\`"

echo "== hand-over with -d: no runc to run"
QPATH=/vm/norunc
q start fb -d $binds
unset QPATH
after_fault fb "unexpected runc return code: 1"

echo "== a start after all that still works"
q start fb -d $binds
expect_rc 0
runc state fb | grep -q '"status": "running"' || fail "fb not running"
q stop fb -d --umount /srv/fb1 --umount /srv/fb2
expect_rc 0
expect_nothing_left fb /srv/fb1 /srv/fb2
echo "every failing step was rolled back"
