#!/bin/sh
# Names that paths, the device-mapper and runc cannot carry unchanged are
# argument errors: nothing is created, "/dev/mapper/control" stays.
. /vm/quillon.sh
before_run=$(ls -a /run/containers 2>/dev/null | tr '\n' ' ')
before_dm=$(ls /sys/block | grep '^dm-' | tr '\n' ' ')
long=$(printf '%0128d' 0 | tr 0 n)
for name in "" " " ":" "a:b" "a,b" "@x" "-x" ".x" "control" "a/b" "../box" "$long"; do
  for command in start stop; do
    PATH=$PATH LOGLEVEL=DEBUG quillon $command "$name" -d </dev/null >/tmp/names.out 2>/tmp/names.err
    rc=$?
    [ "$rc" = 1 ] || fail "$command '$name' exited $rc"
    expect_eq "$(cat /tmp/names.err)" "$name: invalid container name" "$command '$name' error line"
    head -n 1 /tmp/names.out | grep -qx "Usage:" || fail "$command '$name' printed no usage"
    grep -q "_ADAPTIVE_CONT_" /tmp/names.out && fail "$command '$name' got as far as a marker"
  done
done
echo "refused: every name above, for start and stop"
[ -c /dev/mapper/control ] || fail "/dev/mapper/control is gone"
expect_eq "$(ls -a /run/containers 2>/dev/null | tr '\n' ' ')" "$before_run" "/run/containers"
expect_eq "$(ls /sys/block | grep '^dm-' | tr '\n' ' ')" "$before_dm" "device-mapper devices"
# 127 bytes is the longest name: it gets as far as the image lookup.
q stop "$(printf '%0127d' 0 | tr 0 n)"
expect_rc 1
expect_contains "$out" "container does not exist, no such file: " "127-byte name accepted"
echo "nothing created for a refused name"
