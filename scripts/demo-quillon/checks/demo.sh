#!/bin/sh
# The quillon demonstration, run inside the qemu guest by
# scripts/demo-quillon.sh: one step at a time, each under a heading, with
# quillon's own log and marker lines as they come.
export LOGLEVEL=INFO
mkdir -p /srv/share

step() {
  echo
  echo "=== $*"
}

# show COMMAND...: print a command, then run it.
show() {
  echo "# $*"
  "$@"
}

# quillon_expect STATUS ARGS...: run quillon, stop the demo if its exit
# status is not STATUS.
quillon_expect() {
  want=$1
  shift
  echo "# quillon $*"
  quillon "$@" </dev/null
  rc=$?
  echo "(quillon exit status $rc)"
  if [ "$rc" != "$want" ]; then
    echo "demo: expected exit status $want"
    exit 1
  fi
}

devices() {
  echo "# loop devices in use (from /sys/block/loop*/loop/backing_file)"
  found=
  for loop in /sys/block/loop*; do
    [ -f "$loop/loop/backing_file" ] || continue
    echo "$(basename "$loop"): $(cat "$loop/loop/backing_file")"
    found=1
  done
  [ -n "$found" ] || echo "(no loop devices)"
  echo "# device-mapper devices"
  found=
  for dm in /sys/block/dm-*; do
    [ -f "$dm/dm/name" ] || continue
    echo "$(basename "$dm"): $(cat "$dm/dm/name")"
    found=1
  done
  [ -n "$found" ] || echo "(no device-mapper devices)"
}

container_mounts() {
  echo "# mounts of $1"
  awk -v c="/run/containers/$1/" -v b=/run/base-rootfs/ -v s=/srv/ \
    'index($2, c) == 1 || index($2, b) == 1 || index($2, s) == 1 {
       print "  " $2 " (" $3 ($2 ~ /\/data$/ ? ", " $4 : "") ")" }' \
    /proc/mounts | grep . || echo "(none)"
}

smack_rules() {
  if [ -r /sys/fs/smackfs/load2 ]; then
    echo "# SMACK rules of DemoApp in the kernel"
    grep '^DemoApp ' /sys/fs/smackfs/load2 || echo "(none)"
  else
    echo "# rule loader calls so far (this kernel has no SMACK; the loader is a stand-in)"
    cat /run/fake-smackload/calls 2>/dev/null || echo "(none)"
  fi
}

step "The guest: kernel $(uname -r), label of this shell: '$(cat /proc/self/attr/current 2>/dev/null)'"
show ls -l /containers/target/*/ /vm/data/base.img

step "quillon rootmount: verify the base image's signature, set up dm-verity, mount it"
quillon_expect 0 rootmount /vm/data/base.img
show ls /run/base-rootfs/rootfs/etc
devices

step "quillon start demo -d --bind-mount share /srv/share"
quillon_expect 0 start demo -d --bind-mount share /srv/share
sleep 1

step "The container's state from runc"
show runc state demo

step "What the container sees"
echo "# its root file system: the demo image over the base image (read-only overlay)"
show runc exec demo cat /etc/demo-release /etc/base-release
show runc exec demo sh -c 'touch /etc/new-file 2>&1 || true'
echo "# its data partition at /data (ext4 image, kept between starts)"
show runc exec demo sh -c 'df -h /data | tail -n 1; echo "written at $(date)" > /data/note; ls -l /data'
echo "# the bind mount: the container's folder 'share' at /srv/share of the system"
show cat /srv/share/hello.txt
container_mounts demo
devices
smack_rules

step "quillon stop demo -d --umount /srv/share"
quillon_expect 0 stop demo -d --umount /srv/share
container_mounts demo
smack_rules

step "quillon rootumount"
quillon_expect 0 rootumount /vm/data/base.img
devices

step "A tampered image is refused before anything is set up"
quillon_expect 1 start tampered -d
devices

step "A failing start is rolled back: broken's pre-start.sh fails (a warning), then its bind mount target /srv/missing does not exist"
quillon_expect 1 start broken -d --bind-mount share /srv/missing
container_mounts broken
devices
echo
echo "demo finished: nothing mounted, attached or mapped"
