#!/usr/bin/env bash
# Cross build for 64-bit Arm into build-arm64/ (or $1), extra CMake arguments
# after it. Installs what it needs first (as root, or with sudo): the arm64
# architecture in dpkg, the cross compiler, the :arm64 libraries of every
# dependency and qemu user-mode emulation, which runs the unit tests:
#   scripts/build-arm64.sh && (cd build-arm64 && ctest -L unit)
# Build only some targets with BUILD_TARGETS="tessaly quillon".
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-arm64}
shift || true
scripts/setup.sh arm64
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" "$@" >/dev/null
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
