# Helpers for guest checks: source with ". /vm/lib.sh".
# A check passes with exit status 0, is skipped with 77, fails otherwise.

# fail MESSAGE...: report and end the check as failed.
fail() {
  echo "FAIL: $*"
  exit 1
}

# skip MESSAGE...: end the check as skipped.
skip() {
  echo "SKIP: $*"
  exit 77
}

# expect_eq ACTUAL EXPECTED WHAT: fail unless both texts are equal.
expect_eq() {
  [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"
}

# run_ok COMMAND...: run a command, show it and fail if it fails.
run_ok() {
  echo "+ $*"
  "$@" || fail "command failed ($?): $*"
}

# run_fails COMMAND...: run a command that must fail.
run_fails() {
  echo "+ ! $*"
  if "$@"; then fail "command succeeded but must fail: $*"; fi
}

# on_exit COMMAND: run COMMAND (a shell string) when the check ends, in
# reverse order of registration, whether it passed or not.
_vm_cleanup=""
on_exit() {
  _vm_cleanup="$1; $_vm_cleanup"
  trap 'eval "$_vm_cleanup"' EXIT
}

# meta_value IMAGE KEY: a value from the metadata trailer of a signed image.
meta_value() {
  tail -c 4096 "$1" | head -c 1024 | tr -d '\000' | sed -n "s/^$2=//p"
}

# verity_open IMAGE NAME: opens a signed image as /dev/mapper/NAME with
# veritysetup, from the trailer's metadata alone (no superblock), the way
# the kernel table of quillon describes it. Registers its own close.
verity_open() {
  local blocks dbs hbs data tree
  blocks=$(meta_value "$1" datablocks)
  dbs=$(meta_value "$1" datablocksize)
  hbs=$(meta_value "$1" hashblocksize)
  data=$((blocks * dbs))
  tree=$(( (data + 511 + hbs) / hbs * hbs ))
  run_ok veritysetup open --no-superblock \
    --format="$(meta_value "$1" hashtype)" \
    --data-blocks="$blocks" --data-block-size="$dbs" \
    --hash-block-size="$hbs" --hash="$(meta_value "$1" hashalgorithm)" \
    --salt="$(meta_value "$1" salt)" --hash-offset="$tree" \
    "$1" "$2" "$1" "$(meta_value "$1" roothash)"
  on_exit "veritysetup close $2 2>/dev/null"
}

# mount_ro DEVICE DIR: read-only squashfs mount, unmounted when the check ends.
mount_ro() {
  mkdir -p "$2"
  run_ok mount -t squashfs -o ro "$1" "$2"
  on_exit "umount $2 2>/dev/null"
}
