# no_leftovers: fails when a container or base mount, a loop device or a
# device-mapper device is left.
no_leftovers() {
  if grep -E " /run/(containers|base-rootfs)" /proc/mounts; then fail "mounts left"; fi
  for b in /sys/block/loop*/loop/backing_file; do
    [ -e "$b" ] && fail "loop device left: $b: $(cat "$b")"
  done
  for d in /sys/block/dm-*; do
    [ -e "$d" ] && fail "device-mapper device left: $(cat "$d/dm/name")"
  done
  return 0
}
