#!/bin/sh
# SIGTERM during a start: the running step ends, the completed ones are
# undone, exit 1; nothing stays mounted, attached or mapped.
. /vm/quillon.sh
mkdir -p /run/hard /srv/sig
on_exit "rm -f /run/hard/prestart-slow /run/hard/prestart-running; quillon stop hard -d >/dev/null 2>&1"
touch /run/hard/prestart-slow
rm -f /run/hard/prestart-running /run/fake-smackload/calls
LOGLEVEL=DEBUG quillon start hard -d --bind-mount share /srv/sig </dev/null >/tmp/sig.out 2>/tmp/sig.err &
pid=$!
wait_for_prestart
is_mounted /run/containers/hard/data || fail "data partition not mounted at the signal"
kill -TERM $pid
wait $pid
rc=$?
out=$(cat /tmp/sig.out)
echo "+ quillon start hard -d (SIGTERM in pre-start) -> $rc"
sed 's/^/  stderr: /' /tmp/sig.err
expect_rc 1
expect_contains "$out" "stopped by signal 15" "signal named"
expect_lacks "$out" "bind mount /run/containers/hard/content/share" "no step after the signal"
expect_eq "$(tail -n 1 /run/fake-smackload/calls)" "-c /run/containers/hard/content/smack-rules" "rules unloaded"
expect_nothing_left hard /srv/sig
echo "SIGTERM during start: everything undone, exit 1"
