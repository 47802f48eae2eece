#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: does nothing when all of them are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libpcap-dev libnl-3-dev libnl-nf-3-dev libnl-cli-3-dev
  nlohmann-json3-dev rapidjson-dev libmbedtls-dev libmount-dev libsystemd-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 iproute2 nftables iptables conntrack tshark util-linux procps
  squashfs-tools cryptsetup-bin openssl e2fsprogs runc
  qemu-system-x86 busybox-static cpio kmod
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the default answer is fine.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
