#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test:
#   1. all tests through CTest (unit, kernel tests in private namespaces, qemu guest)
#   2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#   3. the concurrency tests under ThreadSanitizer
#   4. the arm64 cross build: its unit tests under qemu user-mode emulation and
#      the arm64 guest (qemu-system-aarch64 with Debian's arm64 cloud kernel)
#   5. the Debian packages for amd64 and arm64: built, installed and tried,
#      then installed in a systemd guest that starts and watches their units
#   6. every fuzz target for 30 s (libFuzzer, clang)
#   7. a short soak of both programs (1 minute of tessaly, 20 quillon cycles)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

status=0
scripts/build.sh build
# The soak suite runs in step 7 with its own cycle count, the systemd guest
# in step 5 once the packages are there.
(cd build && ctest --output-on-failure --timeout 900 -LE 'soak|packaged') || status=1

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined
(cd build-asan && ctest --output-on-failure -L unit --timeout 900) || status=1
# tessaly end to end (traffic, then SIGTERM) under the same sanitizers
(cd build-asan && ctest --output-on-failure -L sanitized --timeout 900) || status=1

scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread
if (cd build-tsan && ctest -N -L tsan | grep -q 'Total Tests: [1-9]'); then
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L tsan --timeout 900) || status=1
fi

# Only what the arm64 unit tests and the arm64 guest need.
BUILD_TARGETS="unit-tests tessaly quillon report_probe man-pages" scripts/build-arm64.sh build-arm64
(cd build-arm64 && ctest --output-on-failure -L unit --timeout 900) || status=1
(cd build-arm64 && ctest --output-on-failure -R '^vm\.arm64' --timeout 900) || status=1

rm -rf dist
{ scripts/package.sh amd64 dist && scripts/package.sh arm64 dist && scripts/test-packages.sh dist; } || status=1
# The first run makes the guest's root file system (cached outside the clone).
(cd build && ctest --output-on-failure -L packaged) || status=1
scripts/fuzz.sh 30 || status=1
scripts/soak.sh 1 20 || status=1

exit $status
