# Helpers for the verity checks: source with ". /vm/verity.sh".
# quillon at its own default level, its output shown after every run.
Q_LOGLEVEL=
Q_SHOW_OUTPUT=1
. /vm/quillon.sh

BASE_MNT=/run/base-rootfs/rootfs

# The event names of the marker lines in TEXT whose tag names OWNER, in order.
markers() {
  echo "$1" | sed -n "s/^[0-9][0-9]*\.[0-9]\{9\} \([A-Z_]*\)_ADAPTIVE_CONT_$2\$/\1/p" | tr '\n' ' '
}

# mount_line DIR: source, type and options of the mount at DIR.
mount_line() {
  awk -v dir="$1" '$2 == dir { print $1, $3, $4 }' /proc/mounts
}

# dm_exists NAME: a device-mapper device of that name is in the kernel.
dm_exists() {
  dm_names | grep -qxF "$1"
}

# bound_to IMAGE: the loop devices bound to IMAGE.
bound_to() {
  loop_files | awk -v image="$1" '$2 == image { print "/sys/block/" $1 }'
}

# expect_released NAME IMAGE [MOUNT...]: no device NAME, no node, no loop
# device bound to IMAGE and none of the mounts.
expect_released() {
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
