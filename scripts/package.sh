#!/usr/bin/env bash
# Debian packages tessaly, quillon and quillon-image-builder for one architecture:
#   scripts/package.sh amd64|arm64 [outdir]      (default outdir: dist/)
# amd64 builds the two programs in build/, arm64 cross builds them in
# build-arm64/ (PACKAGE_BUILD_DIR overrides either) and writes
# tessaly_<version>_<arch>.deb, quillon_<version>_<arch>.deb and
# quillon-image-builder_<version>_all.deb to outdir.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
out=${2:-dist}
targets=(--target tessaly --target quillon --target man-pages)
case "$arch" in
  amd64)
    dir=${PACKAGE_BUILD_DIR:-build}
    scripts/setup.sh
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
    cross=()
    ;;
  arm64)
    dir=${PACKAGE_BUILD_DIR:-build-arm64}
    BUILD_TARGETS="tessaly quillon man-pages" scripts/build-arm64.sh "$dir"
    # dpkg-shlibdeps looks for the libraries of the host architecture it is told.
    cross=(dpkg-architecture -a arm64 -c)
    ;;
  *)
    echo "usage: $0 amd64|arm64 [outdir]" >&2
    exit 2
    ;;
esac
mkdir -p "$out"
out=$(cd "$out" && pwd)
(cd "$dir" && "${cross[@]}" cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/tessaly_*_"$arch".deb "$out"/quillon_*_"$arch".deb "$out"/quillon-image-builder_*_all.deb
