# Helpers for the SMACK checks: source with ". /vm/smack.sh".
. /vm/quillon.sh

# The guest's init mounts the SMACK file system, as on the vehicle.
[ -e /sys/fs/smackfs/load2 ] || fail "no SMACK in this kernel"
rules=/run/containers/sm/content/smack-rules

# rule_loaded "SUBJECT OBJECT ACCESS": the kernel lists that rule.
rule_loaded() {
  grep -qx "$1" /sys/fs/smackfs/load2
}

# subject_rules SUBJECT: the kernel's rules for SUBJECT, one a line.
subject_rules() {
  grep "^$1 " /sys/fs/smackfs/load2 || true
}

# ql LABEL ARGS...: quillon (the q helper) run by a process labelled LABEL.
ql() {
  (printf %s "$1" > /proc/self/attr/current || exit 99
   shift
   q "$@"
   echo "$rc" > /tmp/ql.rc)
  rc=$(cat /tmp/ql.rc)
  out=$(cat /tmp/quillon.out)
  err=$(cat /tmp/quillon.err)
}

# in_sm LABEL COMMAND: runs the shell COMMAND in container sm (as its user
# 1000:100, without privileges) from a process labelled LABEL.
in_sm() {
  (printf %s "$1" > /proc/self/attr/current || exit 99
   exec runc exec sm sh -c "$2") </dev/null 2>&1
}

# The kernel does not list SMACK mount options in /proc/mounts; the root
# label of the data partition shows in who may use it (the checks) and in
# quillon's own DEBUG line of the options it mounted with.
expect_data_options() {
  expect_contains "$out" "options: $1" "data partition mount options"
}
