# Private namespaces and netfilter set-up for the scripts that run tessaly
# against the kernel (the demo, the benchmarks). Source it; nothing runs on
# the host but unshare. The tests' Python set-up is prepare_network() in
# sensor/tests/sensor_harness.py, the C++ one sensor/capture/testing/kernel_network.h.

# netns_exec PROGRAM [ARGS...]: replaces the shell with PROGRAM in private
# network, mount and UTS namespaces, so its rules, links and host name never
# reach the host.
netns_exec() {
  exec unshare -n -m -u --propagation private "$@"
}

# netns_enter ARGS...: runs the calling script again with ARGS in private
# namespaces; returns at once when it already runs there.
netns_enter() {
  [ "${NETNS_INSIDE:-}" = 1 ] && return 0
  NETNS_INSIDE=1
  export NETNS_INSIDE
  netns_exec "$0" "$@"
}

# netns_partition HOST: host name HOST (a partition name) and loopback up.
netns_partition() {
  # hostname(1) refuses underscores, which partition names have.
  echo "$1" >/proc/sys/kernel/hostname
  ip link set lo up
}

# netns_private_tmp NAME PATH...: a tmpfs NAME on /tmp, private to this mount
# namespace; false, with nothing mounted, when one of PATHs lives below /tmp
# (a fresh /tmp would hide it).
netns_private_tmp() {
  name=$1
  shift
  for path in "$@"; do
    case "$path/" in
      /tmp/*) return 1 ;;
    esac
  done
  mount -t tmpfs "$name" /tmp || exit 1
}

# netns_conntrack_counters: packet and byte counters and start time stamps
# of conntrack entries, per namespace and off by default. Only after rules
# that make the kernel track connections here.
netns_conntrack_counters() {
  sysctl -q -w net.netfilter.nf_conntrack_acct=1 net.netfilter.nf_conntrack_timestamp=1
}

# netns_logging_rules ROOT: the netfilter rules of the sensor's tests
# (ROOT/sensor/tests/logging_rules.nft: NFLOG groups 101 and 102 with the
# sensor's log prefixes) and the conntrack counters.
netns_logging_rules() {
  nft -f "$1/sensor/tests/logging_rules.nft" && netns_conntrack_counters
}
