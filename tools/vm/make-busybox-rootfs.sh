#!/bin/sh
# make-busybox-rootfs.sh DIR [BUSYBOX]
# Fills DIR with a static busybox, a link for each of its applets in bin/
# and the empty folders a container root needs. BUSYBOX defaults to
# $VM_BUSYBOX (set for prepare scripts), then to /bin/busybox.
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 DIR [BUSYBOX]" >&2
  exit 2
fi
dir=$1
busybox=${2:-${VM_BUSYBOX:-/bin/busybox}}
if [ ! -x "$busybox" ]; then
  echo "$0: busybox not found: $busybox" >&2
  exit 1
fi
if ! file_type=$(LC_ALL=C od -An -c -N4 "$busybox") ||
   [ "$(echo $file_type)" != "177 E L F" ]; then
  echo "$0: not an ELF binary: $busybox" >&2
  exit 1
fi
if ldd "$busybox" >/dev/null 2>&1; then
  echo "$0: $busybox is linked dynamically; a container needs busybox-static" >&2
  exit 1
fi
mkdir -p "$dir/bin" "$dir/proc" "$dir/sys" "$dir/dev" "$dir/tmp" "$dir/etc"
cp "$busybox" "$dir/bin/busybox"
chmod 755 "$dir/bin/busybox"
# VM_EMULATOR runs a busybox of another architecture (qemu user mode).
for applet in $(${VM_EMULATOR:-} "$busybox" --list); do
  [ "$applet" = busybox ] || ln -sf busybox "$dir/bin/$applet"
done
