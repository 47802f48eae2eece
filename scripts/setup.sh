#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
#   scripts/setup.sh          the native build, tests, demo and packaging
#   scripts/setup.sh arm64    also the cross build for 64-bit Arm, its unit
#                             tests under qemu user-mode emulation and the arm64 guest
# Idempotent: does nothing when all of them are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libpcap-dev libnl-3-dev libnl-nf-3-dev
  nlohmann-json3-dev rapidjson-dev libmbedtls-dev libmount-dev libsystemd-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 iproute2 nftables iptables conntrack tshark util-linux procps
  squashfs-tools cryptsetup-bin openssl e2fsprogs runc
  qemu-system-x86 busybox-static cpio kmod
  dpkg-dev man-db lintian
  mmdebstrap
  linux-source-6.1 bc bison flex libelf-dev libssl-dev
  clang-14 libclang-rt-14-dev
)

if [ "${1:-}" = arm64 ]; then
  packages+=(crossbuild-essential-arm64 qemu-user-static qemu-system-arm)
  # The :arm64 libraries of every dependency (with the C++ runtime, which the
  # emulated tests, the guest and dpkg-shlibdeps need), and those of the programs that
  # the arm64 guest runs (veritysetup, runc, mkfs.ext4, nft).
  for p in libpcap-dev libnl-3-dev libnl-nf-3-dev libmbedtls-dev \
           libmount-dev libsystemd-dev libgtest-dev libgmock-dev \
           libcryptsetup12 libpopt0 libseccomp2 libext2fs2 libss2 libcom-err2 \
           libnftables1 libedit2 libstdc++6; do
    packages+=("$p:arm64")
  done
fi

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
if [ "${1:-}" = arm64 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
# tshark asks whether non-root users may capture; the default answer is fine.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
