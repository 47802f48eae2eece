#!/bin/sh
# Two starts of one container at once: one runs it, the other exits 1 and
# leaves it alone; a start of a started container does the same; a quillon
# that finds the container locked for more than 10 s gives up.
. /vm/quillon.sh
mkdir -p /run/hard
on_exit "rm -f /run/hard/prestart-slow; quillon stop hard -d >/dev/null 2>&1"

# A start that keeps the lock for 14 s (its pre-start sleeps).
echo 14 > /run/hard/prestart-slow
rm -f /run/hard/prestart-running
LOGLEVEL=DEBUG quillon start hard -d </dev/null >/tmp/c0.out 2>/tmp/c0.err &
p0=$!
wait_for_prestart
begin=$(date +%s)
q stop hard -d
took=$(( $(date +%s) - begin ))
expect_rc 1
expect_contains "$out" "container hard is still locked by another quillon after 10 s" "lock timeout"
echo "the stop gave up after ${took} s"
[ "$took" -ge 10 ] || fail "gave up before 10 s"
wait $p0
r0=$?
rm -f /run/hard/prestart-slow
expect_eq "$r0" 0 "the start holding the lock"
runc state hard | grep -q '"status": "running"' || fail "hard not running after the locked-out stop"
q stop hard -d
expect_rc 0
expect_nothing_left hard
LOGLEVEL=DEBUG quillon start hard -d </dev/null >/tmp/c1.out 2>/tmp/c1.err &
p1=$!
LOGLEVEL=DEBUG quillon start hard -d </dev/null >/tmp/c2.out 2>/tmp/c2.err &
p2=$!
wait $p1; r1=$?
wait $p2; r2=$?
echo "+ two starts at once -> $r1 and $r2"
sed 's/^/  stderr 1: /' /tmp/c1.err
sed 's/^/  stderr 2: /' /tmp/c2.err
expect_eq "$(echo $r1 $r2 | tr ' ' '\n' | sort | tr '\n' ' ')" "0 1 " "one runs, one fails"
loser=/tmp/c1.out
[ "$r1" = 1 ] || loser=/tmp/c2.out
grep -E "ERROR .*(is already started|still locked by another quillon)" "$loser" || fail "no ERROR line"
pid=$(runc state hard | sed -n 's/.*"pid": \([0-9]*\).*/\1/p')
runc state hard | grep -q '"status": "running"' || fail "hard not running"
is_mounted /run/containers/hard/content || fail "content unmounted by the loser"
is_mounted /run/containers/hard/data || fail "data unmounted by the loser"

q start hard -d
expect_rc 1
expect_contains "$out" "container hard is already started" "second start refused"
runc state hard | grep -q "\"pid\": $pid," || fail "running container touched"
is_mounted /run/containers/hard/content || fail "content unmounted by the second start"
q stop hard -d
expect_rc 0
expect_nothing_left hard
echo "concurrent and repeated starts leave the running container alone"
