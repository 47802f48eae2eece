#!/bin/bash
# Runs a command as root inside a private root file system made for the
# container tests; must itself run in a private mount namespace. The root is a
# writable overlay of the host's, so quillon's fixed directories
# ("/containers/target", "/data/containerdata", "/run/containers",
# "/run/base-rootfs") can be made there without touching the host. A
# recording fake runc comes first on PATH and a recording fake is bound over
# "/usr/bin/smackload". Loop devices made inside are detached at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

base=$(mktemp -d /tmp/ql_test_root.XXXXXX)
root=$base/root
cleanup() {
    local status=$?
    # Loop devices outlive the namespace if something inside kept them.
    for loop in /sys/block/loop*; do
        [ -f "$loop/loop/backing_file" ] || continue
        case "$(cat "$loop/loop/backing_file")" in
        "$base"/*) losetup -d "/dev/$(basename "$loop")" 2>/dev/null || true ;;
        esac
    done
    umount -R -l "$base" 2>/dev/null || true
    rmdir "$base" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT

mount -t tmpfs -o mode=0755 ql_test_root "$base"
mkdir -p "$base/upper" "$base/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$root"
for dir in proc dev sys; do
    mount --rbind "/$dir" "$root/$dir"
done
mount -t tmpfs -o mode=0755 ql_run "$root/run"
mount -t tmpfs -o mode=1777 ql_tmp "$root/tmp"
# The overlay shows only the root file system itself: the mounts that hold
# the source tree and the programs to run are bound in.
for path in "$here" "$@"; do
    case "$path" in /*) ;; *) continue ;; esac
    [ -e "$path" ] || continue
    case "$path" in
    # /tmp and /run are fresh inside: a checkout below them is bound in whole.
    /tmp/*|/run/*) top=$(printf '%s\n' "$path" | cut -d/ -f1-3) ;;
    *)
        top=$(findmnt -n -o TARGET --target "$path")
        case "$top" in /|/proc*|/dev*|/sys*|/run*|/tmp*) continue ;; esac
        ;;
    esac
    mkdir -p "$root$top"
    mountpoint -q "$root$top" || mount --rbind "$top" "$root$top"
done
mkdir -p "$root/containers/target" "$root/data/containerdata" "$root/run/containers"

mkdir -p "$root/opt/fake-bin"
install -m 0755 "$here/fake_runc.sh" "$root/opt/fake-bin/runc"
install -m 0755 "$here/../../../tools/vm/fake_smackload.sh" "$root/opt/fake-smackload"
touch "$root/usr/bin/smackload"
mount --bind "$root/opt/fake-smackload" "$root/usr/bin/smackload"

status=0
chroot "$root" /usr/bin/env PATH="/opt/fake-bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" \
    "$@" || status=$?
exit $status
