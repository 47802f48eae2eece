#!/bin/sh
# Container images that must not mount fail with the container's messages
# and leave nothing behind.
. /vm/verity.sh

# probe_fails NAME STDOUT-PART STDERR-PART
probe_fails() {
  out=$(container_probe mount "$1" 2>/tmp/probe.err)
  rc=$?
  err=$(cat /tmp/probe.err)
  echo "+ container_probe mount $1 -> $rc"
  [ -z "$out" ] || echo "$out" | sed 's/^/  stdout: /'
  [ -z "$err" ] || echo "$err" | sed 's/^/  stderr: /'
  expect_eq "$rc" 1 "status for $1"
  expect_contains "$out" "$2" "error line for $1"
  expect_contains "$err" "$3" "error for $1"
  expect_released "$1" "/containers/target/$1/$1.rootfs.squashfs-xz-dmverity" \
    "/run/containers/$1/content"
}

probe_fails tiny "container directory corruption detected" \
  'Assertion `offset > 0` failed at container.cpp:'
# No existence test of its own: opening the image fails.
probe_fails ghost "open container failed: 2" 'Assertion `cont_file != nullptr` failed at container.cpp:'
probe_fails forged "failed to verify signature: RSA - The PKCS#1 verification failed" \
  'Assertion `error_code == 0` failed at verity.cpp:'
echo "container failures left nothing behind"
