#!/bin/bash
# "start" and "stop" through the quillon program, inside the test root: exit
# statuses, the error line on standard output and the assertion text on
# standard error. (This kernel has no device-mapper, so starts end at the image.)
set -u
quillon=$1
failures=0
check() {
    local what=$1 ok=$2
    if [ "$ok" = 0 ]; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
run() {
    LOGLEVEL=INFO "$quillon" "$@" >/tmp/cli.out 2>/tmp/cli.err </dev/null
    status=$?
    out=$(cat /tmp/cli.out)
    err=$(cat /tmp/cli.err)
}
mounts_of() { grep -c " /run/containers/$1/" /proc/self/mountinfo; }

run start ghost -d
check "start of a missing image exits 1" $([ $status = 1 ]; echo $?)
check "start names the xz image" $([[ "$out" == *"ERROR ("*"container does not exist, no such file: /containers/target/ghost/ghost.rootfs.squashfs-xz-dmverity"* ]]; echo $?)
check "start reports the assertion" $([[ "$err" =~ ^Assertion\ \`m_fs-\>exists\(m_container.c_str\(\)\)\`\ failed\ at\ container.cpp:[0-9]+$ ]]; echo $?)
check "start writes the marker first" $([[ "$out" == *"STARTING_ADAPTIVE_CONT_ghost"* ]]; echo $?)
check "nothing asked of runc" $([ ! -s /run/fake-runc/calls ]; echo $?)

run stop ghost
check "stop of a missing image exits 1" $([ $status = 1 ]; echo $?)
check "stop marker" $([[ "$out" == *"STOPPING_ADAPTIVE_CONT_ghost"* ]]; echo $?)
check "stop reports the assertion" $([[ "$err" == *"failed at container.cpp:"* ]]; echo $?)

# A file too small to hold an image trailer fails before any device exists.
mkdir -p /containers/target/junk
head -c 100 /dev/zero > /containers/target/junk/junk.rootfs.squashfs-xz-dmverity
mkdir -p /tmp/bind-target
run start junk -d --bind-mount share /tmp/bind-target
check "start of a broken image exits 1" $([ $status = 1 ]; echo $?)
check "setup line" $([[ "$out" == *"setup container junk"* ]]; echo $?)
check "no mounts after a broken image" $([ "$(mounts_of junk)" = 0 ]; echo $?)
check "no bind mount made" $(! grep -q " /tmp/bind-target " /proc/self/mountinfo; echo $?)

# Both variants present: the lzo image is the one used.
mkdir -p /containers/target/duo
head -c 100 /dev/zero > /containers/target/duo/duo.rootfs.squashfs-xz-dmverity
head -c 100 /dev/zero > /containers/target/duo/duo.rootfs.squashfs-lzo-dmverity
LOGLEVEL=DEBUG "$quillon" start duo >/tmp/cli.out 2>&1
check "lzo preferred" $(grep -q "open container file: /containers/target/duo/duo.rootfs.squashfs-lzo-dmverity" /tmp/cli.out; echo $?)

echo "$failures failures"
[ $failures = 0 ]
