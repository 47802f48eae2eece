#!/bin/sh
# Data partitions: "web" and "web.tmp" each keep their own data; images and
# their folder are private; eight containers started at once by eight
# quillon processes, then stopped at once.
. /vm/quillon.sh
names="web web.tmp c1 c2 c3 c4 c5 c6 c7 c8"
on_exit "for n in $names; do quillon stop \$n -d >/dev/null 2>&1; done"
# Every container here is fb's signed image under another name.
for n in $names; do
  mkdir -p /containers/target/$n
  cp /containers/target/fb/fb.rootfs.squashfs-xz-dmverity /containers/target/$n/$n.rootfs.squashfs-xz-dmverity
done

echo "== web.tmp first, then web"
q start web.tmp -d
expect_rc 0
echo "data of web.tmp" > /run/containers/web.tmp/data/mine
q stop web.tmp -d
expect_rc 0
q start web -d
expect_rc 0
[ -e /run/containers/web/data/mine ] && fail "web sees the data of web.tmp"
echo "data of web" > /run/containers/web/data/mine
q stop web -d
expect_rc 0
q start web.tmp -d
expect_rc 0
expect_eq "$(cat /run/containers/web.tmp/data/mine)" "data of web.tmp" "web.tmp keeps its data"
q stop web.tmp -d
expect_rc 0
ls -la /data/containerdata
expect_eq "$(stat -c %a /data/containerdata)" 700 "partition folder mode"
expect_eq "$(stat -c %a /data/containerdata/web)" 600 "partition image mode"
expect_eq "$(stat -c %a /data/containerdata/web.tmp)" 600 "partition image mode"
expect_eq "$(stat -c %a /run/containers/web)" 700 "container folder mode"
[ -z "$(ls -A /data/containerdata | grep '^\.')" ] || fail "temporary images left"

echo "== an existing image is used unchanged"
chmod 0640 /data/containerdata/web
before=$(md5sum < /data/containerdata/web)
q start web -d
expect_rc 0
expect_lacks "$out" "format data partition image" "no second format"
expect_eq "$(cat /run/containers/web/data/mine)" "data of web" "web keeps its data"
expect_eq "$(stat -c %a /data/containerdata/web)" 640 "mode of an existing image"
q stop web -d
expect_rc 0
chmod 0600 /data/containerdata/web

echo "== eight starts at once, then eight stops at once"
# at_once COMMAND: quillon COMMAND for c1..c8 at the same time; each succeeds.
at_once() {
  for n in c1 c2 c3 c4 c5 c6 c7 c8; do
    LOGLEVEL=DEBUG quillon "$1" $n -d </dev/null >/tmp/$n.$1 2>&1 &
    echo $! > /tmp/$n.pid
  done
  for n in c1 c2 c3 c4 c5 c6 c7 c8; do
    wait "$(cat /tmp/$n.pid)"
    r=$?
    echo "+ quillon $1 $n -d -> $r"
    [ "$r" = 0 ] || { tail -n 20 /tmp/$n.$1; fail "$1 of $n failed"; }
  done
}
at_once start
for n in c1 c2 c3 c4 c5 c6 c7 c8; do
  runc state $n | grep -q '"status": "running"' || fail "$n not running"
done
at_once stop
for n in $names; do
  expect_nothing_left $n
done
echo "data partitions: each container its own, private, concurrent starts and stops clean"
