#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test:
#   1. all tests through CTest (unit, kernel tests in private namespaces, qemu guest)
#   2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#   3. the concurrency tests under ThreadSanitizer
#   4. every fuzz target for 30 s (libFuzzer, clang)
#   5. a short soak of both programs (1 minute of tessaly, 20 quillon cycles)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

status=0
scripts/build.sh build
# The soak suite runs in step 5 with its own cycle count.
(cd build && ctest --output-on-failure --timeout 900 -LE soak) || status=1

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined
(cd build-asan && ctest --output-on-failure -L unit --timeout 900) || status=1
# tessaly end to end (traffic, then SIGTERM) under the same sanitizers
(cd build-asan && ctest --output-on-failure -L sanitized --timeout 900) || status=1

scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread
if (cd build-tsan && ctest -N -L tsan | grep -q 'Total Tests: [1-9]'); then
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L tsan --timeout 900) || status=1
fi

scripts/fuzz.sh 30 || status=1
scripts/soak.sh 1 20 || status=1

exit $status
