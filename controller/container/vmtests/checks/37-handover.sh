#!/bin/sh
# The hand-over to runc: a stop request at the last moment before it (with
# and without "-d") and a runc that fails after making the container are
# rolled back completely, exit 1; a hung pre-start script is ended by a stop
# request at once.
. /vm/quillon.sh
mkdir -p /srv/ho /vm/failrunc /run/fake-smackload /run/hard
on_exit "rm -f /run/hard/prestart-slow; quillon stop fb -d --umount /srv/ho >/dev/null 2>&1; quillon stop hard -d >/dev/null 2>&1"
real_runc=$(command -v runc)

# stopped_before_handover ARGS...: a start with a SIGTERM delivered as
# runc is about to start; everything undone.
stopped_before_handover() {
  : > /run/fake-smackload/calls
  export LD_PRELOAD=/usr/lib/stop_at_handover.so
  q start fb "$@" --bind-mount share /srv/ho
  unset LD_PRELOAD
  expect_rc 1
  expect_contains "$out" "stopped by signal 15" "stop request seen"
  expect_contains "$out" "umount /srv/ho" "bind mount undone"
  expect_eq "$(tail -n 1 /run/fake-smackload/calls)" "-c /run/containers/fb/content/smack-rules" "rules unloaded"
  expect_nothing_left fb /srv/ho
}

echo "== without -d: SIGTERM just before the exec of runc"
stopped_before_handover
echo "== with -d: SIGTERM while runc run --detach makes the container"
stopped_before_handover -d

echo "== with -d: runc makes the container, then fails"
printf '#!/bin/sh\n"%s" "$@"\nrc=$?\n[ "$1" = run ] && exit 1\nexit $rc\n' "$real_runc" > /vm/failrunc/runc
chmod 0755 /vm/failrunc/runc
QPATH=/vm/failrunc:$PATH
q start fb -d --bind-mount share /srv/ho
unset QPATH
expect_rc 1
expect_contains "$out" "unexpected runc return code: 1" "runc failure reported"
expect_nothing_left fb /srv/ho

echo "== a start afterwards still works"
q start fb -d --bind-mount share /srv/ho
expect_rc 0
runc state fb | grep -q '"status": "running"' || fail "fb not running"
q stop fb -d --umount /srv/ho
expect_rc 0
expect_nothing_left fb /srv/ho

echo "== a pre-start script that never ends, then SIGTERM"
echo 100000 > /run/hard/prestart-slow
rm -f /run/hard/prestart-running
LOGLEVEL=DEBUG quillon start hard -d </dev/null >/tmp/hang.out 2>/tmp/hang.err &
pid=$!
wait_for_prestart
begin=$(date +%s)
kill -TERM $pid
wait $pid
rc=$?
took=$(( $(date +%s) - begin ))
out=$(cat /tmp/hang.out)
echo "+ quillon start hard -d (SIGTERM in a hung pre-start) -> $rc after ${took} s"
expect_rc 1
expect_contains "$out" "was killed by a stop request" "script ended"
expect_contains "$out" "stopped by signal 15" "rolled back"
[ "$took" -le 30 ] || fail "rollback took ${took} s"
ps -o args | grep -q "[s]leep 100000" && fail "the script's sleep still runs"
expect_nothing_left hard
echo "hand-over and scripts: every stop request and failure rolled back"
