#!/usr/bin/env bash
# Tests the Debian packages in dist/ (or $1), as root:
#  - runs lintian on every package: no error or warning may remain;
#  - installs the amd64 packages on this machine, runs quillon -h, the image
#    builder and the live sensor demo against the installed /usr/sbin/tessaly,
#    renders every manual page with man -l, checks the units with
#    systemd-analyze verify, and removes the packages again;
#  - checks the arm64 packages' architecture, contents and dependencies.
# (The units themselves run in the systemd guest, tools/vm/systemd/.)
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(cd "${1:-dist}" && pwd)
failures=0
fail() { echo "package test: FAILED: $*" >&2; failures=$((failures + 1)); }
ok() { echo "package test: ok: $*"; }

one_deb() {
  local found=("$dist"/"$1"_*_"$2".deb)
  [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || { echo "package test: need exactly one $1 $2 package in $dist" >&2; exit 1; }
  echo "${found[0]}"
}

pages=(/usr/share/man/man8/tessaly.8.gz /usr/share/man/man8/quillon.8.gz
       /usr/share/man/man1/tessaly-listener.1.gz /usr/share/man/man1/quillon-image-builder.1.gz)
tessaly_files=(./usr/sbin/tessaly ./etc/tessaly/tessaly.json ./usr/bin/tessaly-listener
               ./usr/share/tessaly/ids_listener.py ./usr/share/tessaly/report_decoder.py
               ./lib/systemd/system/tessaly.service ./usr/lib/sysusers.d/tessaly.conf
               ./usr/share/doc/tessaly/copyright ./usr/share/doc/tessaly/changelog.gz
               ./usr/share/man/man8/tessaly.8.gz ./usr/share/man/man1/tessaly-listener.1.gz)
quillon_files=(./usr/sbin/quillon ./lib/systemd/system/quillon-base-rootfs.service
               ./lib/systemd/system/quillon@.service ./etc/default/quillon
               ./usr/share/doc/quillon/copyright ./usr/share/doc/quillon/changelog.gz
               ./usr/share/man/man8/quillon.8.gz)
units=(tessaly.service quillon-base-rootfs.service quillon@.service)

# --- arm64: architecture, files, machine code, dependencies -------------------
check_deb() {  # deb arch program-path machine expected-depends... -- files...
  local deb=$1 arch=$2 program=$3 machine=$4
  shift 4
  local depends=()
  while [ "$1" != -- ]; do depends+=("$1"); shift; done
  shift
  local name
  name=$(basename "$deb")
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$name: architecture $(dpkg-deb -f "$deb" Architecture)"
  local listing
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in "$@"; do
    grep -qxF "$f" <<<"$listing" || fail "$name lacks $f"
  done
  local tmp
  tmp=$(mktemp -d)
  dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$tmp" ".$program"
  readelf -h "$tmp$program" | grep -q "Machine:.*$machine" || fail "$name: $program is not $machine code"
  rm -rf "$tmp"
  local dep
  dep=$(dpkg-deb -f "$deb" Depends)
  for d in "${depends[@]}"; do
    grep -qE "(^|, )$d( |,|$)" <<<"$dep" || fail "$name: Depends lacks $d: $dep"
  done
  ok "$name: $arch, $(wc -l <<<"$listing") entries, Depends: $dep"
}

for arch in arm64 amd64; do
  machine=AArch64
  [ "$arch" = amd64 ] && machine=X86-64
  check_deb "$(one_deb tessaly "$arch")" "$arch" /usr/sbin/tessaly "$machine" \
    libc6 libpcap0.8 libnl-3-200 python3 -- "${tessaly_files[@]}"
  check_deb "$(one_deb quillon "$arch")" "$arch" /usr/sbin/quillon "$machine" \
    libc6 libmount1 runc e2fsprogs -- "${quillon_files[@]}"
done
builder=$(one_deb quillon-image-builder all)
if dpkg-deb -c "$builder" | grep -q '\./usr/share/quillon-image-builder/image_builder.py$' &&
   [ "$(dpkg-deb -f "$builder" Depends)" = "python3, squashfs-tools, cryptsetup-bin, openssl" ]; then
  ok "$(basename "$builder"): $(dpkg-deb -f "$builder" Depends)"
else
  fail "$(basename "$builder"): $(dpkg-deb -f "$builder" Depends)"
fi
# A vehicle's quillon pulls in no image-building tool.
dpkg-deb -f "$(one_deb quillon amd64)" Depends | grep -qE 'python3|squashfs-tools|cryptsetup|openssl' &&
  fail "quillon depends on image-building tools: $(dpkg-deb -f "$(one_deb quillon amd64)" Depends)"

# --- lintian: no error, no warning (overrides carry their reason) ------------
for deb in "$(one_deb tessaly amd64)" "$(one_deb quillon amd64)" "$builder"; do
  report=$(lintian --fail-on none "$deb" 2>&1 | grep -vx 'running with root privileges is not recommended!') || true
  if grep -qE '^[EW]: ' <<<"$report"; then
    fail "lintian $(basename "$deb"): $report"
  else
    ok "lintian $(basename "$deb")${report:+: $report}"
  fi
done

# --- amd64: install, use, remove ---------------------------------------------
export DEBIAN_FRONTEND=noninteractive
remove() {
  apt-get -o DPkg::Lock::Timeout=900 purge -y -qq tessaly quillon quillon-image-builder >/dev/null 2>&1 || true
}
if dpkg-query -W tessaly quillon quillon-image-builder >/dev/null 2>&1; then
  remove
fi
trap remove EXIT
apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
  "$(one_deb tessaly amd64)" "$(one_deb quillon amd64)" "$builder" >/dev/null
ok "installed $(dpkg-query -W -f='${Package} ${Version} ${Architecture}; ' tessaly quillon quillon-image-builder)"
getent passwd tessaly >/dev/null || fail "no system user tessaly after the install"

for unit in "${units[@]}"; do
  out=$(systemd-analyze verify "/lib/systemd/system/$unit" 2>&1) || fail "systemd-analyze verify $unit"
  if [ -n "$out" ]; then
    fail "systemd-analyze verify $unit: $out"
  else
    ok "systemd-analyze verify $unit: silent"
  fi
done

if out=$(quillon -h) && grep -q "^Usage:" <<<"$out" && grep -q "quillon start <container-name>" <<<"$out"; then
  ok "quillon -h"
else
  fail "quillon -h: $out"
fi

tmp=$(mktemp -d)
mkdir -p "$tmp/src/rootfs/etc"
echo hello >"$tmp/src/rootfs/etc/hello.txt"
if quillon-image-builder keygen --private "$tmp/key.pem" --public "$tmp/pub.pem" >/dev/null &&
   quillon-image-builder build --source "$tmp/src" --key "$tmp/key.pem" \
     --output "$tmp/demo.rootfs.squashfs-xz-dmverity" >/dev/null &&
   [ -s "$tmp/demo.rootfs.squashfs-xz-dmverity" ] &&
   quillon-image-builder verify "$tmp/demo.rootfs.squashfs-xz-dmverity" --public "$tmp/pub.pem" >/dev/null; then
  ok "quillon-image-builder keygen, build and verify"
else
  fail "quillon-image-builder"
fi
rm -rf "$tmp"

tessaly-listener --help >/dev/null || fail "tessaly-listener --help"

demo_log=$(mktemp)
if timeout -k 10 300 scripts/demo.sh /usr/sbin/tessaly >"$demo_log" 2>&1 &&
   grep -q '\[listener\].*"specialFrameReports"' "$demo_log" &&
   grep -q '\[listener\].*"firewallFilterReports"' "$demo_log" &&
   grep -q '\[listener\].*"trafficFlowSamples"' "$demo_log"; then
  ok "demo against /usr/sbin/tessaly: $(grep -c '\[listener\]' "$demo_log") listener lines, $(grep 'exited with status' "$demo_log" | sed 's/^ *//')"
else
  cat "$demo_log"
  fail "demo against the installed tessaly"
fi
rm -f "$demo_log"

for page in "${pages[@]}"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null) || true
  if [ -n "$warnings" ] || ! grep -q "^NAME" <<<"$text" || ! grep -q "^EXIT STATUS" <<<"$text"; then
    fail "man -l $page: ${warnings:-no NAME or EXIT STATUS section}"
  else
    ok "man -l $page: $(wc -l <<<"$text") lines"
  fi
done

remove
trap - EXIT
if dpkg-query -W -f='${Status}\n' tessaly quillon quillon-image-builder 2>/dev/null | grep -q "ok installed"; then
  fail "packages still installed after removal"
else
  ok "removed"
fi
if [ -e /usr/sbin/quillon ] || [ -e /usr/sbin/tessaly ] || [ -e /lib/systemd/system/tessaly.service ]; then
  fail "program files left after removal"
fi
[ "$failures" -eq 0 ]
