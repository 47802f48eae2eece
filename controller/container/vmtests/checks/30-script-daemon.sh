#!/bin/sh
# A pre-start.sh and a post-stop.sh that leave a daemon running (holding the
# script's output open) do not hold "start -d" or "stop -d".
. /vm/quillon.sh
mkdir -p /run/hard
on_exit "rm -f /run/hard/prestart-bg /run/hard/poststop-bg; quillon stop hard -d >/dev/null 2>&1"
touch /run/hard/prestart-bg /run/hard/poststop-bg

begin=$(date +%s)
q start hard -d
took=$(( $(date +%s) - begin ))
expect_rc 0
echo "start -d returned after ${took} s (the daemon sleeps 60 s)"
[ "$took" -lt 30 ] || fail "start waited for the daemon"
pid=$(cat /run/hard/prestart-daemon.pid)
[ -d "/proc/$pid" ] || fail "the pre-start daemon was killed"
runc state hard | grep -q '"status": "running"' || fail "hard not running"

begin=$(date +%s)
q stop hard -d
took=$(( $(date +%s) - begin ))
expect_rc 0
echo "stop -d returned after ${took} s"
[ "$took" -lt 30 ] || fail "stop waited for the daemon"
expect_contains "$out" "container shutdown finished" "stop finished"
expect_nothing_left hard
kill "$pid" "$(cat /run/hard/poststop-daemon.pid)" 2>/dev/null
echo "script daemons hold neither start nor stop"
