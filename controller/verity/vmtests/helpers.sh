# Helpers for the verity checks: source with ". /vm/verity.sh".
. /vm/lib.sh

BASE_MNT=/run/base-rootfs/rootfs

# q ARGS...: runs quillon; its output lands in $out and $err, its status in $rc.
q() {
  out=$(quillon "$@" 2>/tmp/quillon.err)
  rc=$?
  err=$(cat /tmp/quillon.err)
  echo "+ quillon $* -> $rc"
  [ -z "$out" ] || echo "$out" | sed 's/^/  stdout: /'
  [ -z "$err" ] || echo "$err" | sed 's/^/  stderr: /'
}

# expect_contains TEXT PART WHAT
expect_contains() {
  case "$1" in
    *"$2"*) ;;
    *) fail "$3: '$2' not found" ;;
  esac
}

# The event names of the marker lines in TEXT whose tag names OWNER, in order.
markers() {
  echo "$1" | sed -n "s/^[0-9][0-9]*\.[0-9]\{9\} \([A-Z_]*\)_ADAPTIVE_CONT_$2\$/\1/p" | tr '\n' ' '
}

# is_mounted DIR
is_mounted() {
  grep -q " $1 " /proc/mounts
}

# mount_line DIR: source, type and options of the mount at DIR.
mount_line() {
  awk -v dir="$1" '$2 == dir { print $1, $3, $4 }' /proc/mounts
}

# dm_exists NAME: a device-mapper device of that name is in the kernel.
dm_exists() {
  for d in /sys/block/dm-*; do
    [ -e "$d/dm/name" ] && [ "$(cat "$d/dm/name")" = "$1" ] && return 0
  done
  return 1
}

# bound_to IMAGE: the loop devices bound to IMAGE.
bound_to() {
  for f in /sys/block/loop*/loop/backing_file; do
    [ -e "$f" ] && [ "$(cat "$f")" = "$1" ] && echo "${f%/loop/backing_file}"
  done
}

# expect_nothing_left NAME IMAGE [MOUNT...]: no device NAME, no node, no loop
# device bound to IMAGE and none of the mounts.
expect_nothing_left() {
  name=$1 image=$2
  shift 2
  dm_exists "$name" && fail "device-mapper device $name left behind"
  [ -e "/dev/mapper/$name" ] && fail "node /dev/mapper/$name left behind"
  for dir in "$@"; do
    is_mounted "$dir" && fail "$dir still mounted"
  done
  # The kernel clears the loop device when its last user goes away.
  tries=0
  while [ -n "$(bound_to "$image")" ] && [ $tries -lt 20 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  [ -z "$(bound_to "$image")" ] || fail "loop device still bound to $image: $(bound_to "$image")"
  return 0
}

# Makes sure nothing of an earlier check stays (on exit of this one).
cleanup_base() {
  quillon rootumount /vm/data/base.img >/dev/null 2>&1
}
